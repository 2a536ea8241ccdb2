#include "UserPages.h"

#include "frm_emailusers.h"

#include "wizard/frame/PageNavigator.h"

namespace kestrup {

void registerUserPages(PageNavigator &navigator)
{
    navigator.registerPage(Page::EmailUsers,
                           [](WizardContext &c) -> WizardPage * { return new frm_emailusers(c); });
}

} // namespace kestrup
