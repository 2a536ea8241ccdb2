#pragma once

namespace kestrup {

class PageNavigator;

// Registers the user list page with the wizard's navigator.
void registerUserPages(PageNavigator &navigator);

} // namespace kestrup
