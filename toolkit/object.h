#pragma once

namespace pelmora {

// Root of the objects that string lists carry beside their lines.
class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

} // namespace pelmora
