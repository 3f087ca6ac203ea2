// A settings file of any content, read the way the window reads it at start-up, and
// every stored text decoded.
#include "app/main_form.h"
#include "app/settings_codec.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string decoded = pelmora::DecodeValue(text);
    if (decoded.size() > text.size())
        std::abort();
    static const std::string path = "/tmp/pelmora-fuzz-" + std::to_string(::getpid()) + ".ini";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    pelmora::TForm1 form;
    form.FormCreate(path);
    const long timeout = form.timeOutSpin.Value();
    if (timeout < 5 || timeout > 300 || form.setup.ftpPortSpin.Value() > 65535)
        std::abort();
    return 0;
}
