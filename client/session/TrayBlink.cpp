#include "TrayBlink.h"

namespace client {

TrayBlink::Frame TrayBlink::tick(bool windowOutOfSight)
{
    Frame frame = Frame::Unchanged;
    if (m_counter <= 10) {
        frame = (m_counter % 2 != 0) ? Frame::Image2 : Frame::Image1;
    } else if (windowOutOfSight) {
        m_counter = 0;
    } else {
        m_counter = 20;
        m_running = false;
        frame = Frame::Rest;
    }
    ++m_counter;
    return frame;
}

} // namespace client
