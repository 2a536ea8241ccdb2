#pragma once

#include "common/HttpExchange.h"

namespace kestrup {

// The wizard's intervals, part of its WizardContext. The defaults are the
// program's own; tests that drive many requests shorten them.
struct WizardTiming
{
    int animationMs = 100;        // MY_ANIMATE: one frame of the loading picture
    int requestCycleMs = 100;     // MY_XMLHTTPTIMER: how often a request is looked at
    int requestTimeoutMs = common::HttpExchange::kTimeoutMs; // a request that has not finished by then reads as unreadable
};

} // namespace kestrup
