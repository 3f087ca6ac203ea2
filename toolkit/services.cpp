#include "toolkit/services.h"

#include <iostream>

namespace pelmora {

TServices& Services() {
    static TServices services;
    return services;
}

void ShowMessage(const std::string& text) {
    if (Services().ShowMessage)
        Services().ShowMessage(text);
    else
        std::cerr << text << '\n';
}

void SetHourglassCursor(bool busy) {
    if (Services().SetHourglass)
        Services().SetHourglass(busy);
}

} // namespace pelmora
