#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

class EProfileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An INI file read and written the classic way: section and key names without regard
// to case, values trimmed of blanks and cut to 1023 characters when read, every other
// line kept as it stands. The whole file is read when the object is made; writes change
// the copy in memory, and UpdateFile replaces the file at once (a new file, then a
// rename), readable by its owner only; where the name is a symbolic link, the file it
// leads to is replaced and the link stays.
class TIniFile {
public:
    static constexpr size_t MaxValueLength = 1023;

    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return fileName_; }

    std::string ReadString(std::string_view section, std::string_view key,
                           const std::string& defaultValue) const;
    // The value without the cut, however long: for a form of value that readers which
    // cut it take for no value at all.
    std::string ReadWholeString(std::string_view section, std::string_view key,
                                const std::string& defaultValue) const;
    // Decimal, or hexadecimal after "0x"; the default when missing or not a number.
    long ReadInteger(std::string_view section, std::string_view key, long defaultValue) const;
    bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

    // A value that holds a line break or a NUL cannot be stored: EProfileError.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, long value);
    void WriteBool(std::string_view section, std::string_view key, bool value);

    // Writes the file; EProfileError "Unable to write to <file>" when it cannot.
    void UpdateFile() const;

    // Parses an integer the way ReadInteger does.
    static bool ParseInteger(std::string_view text, long& value);

private:
    // Index of the section header line, or -1.
    int FindSection(std::string_view section) const;
    // Index of the key's line within the section that starts at `header`, or -1.
    int FindKey(int header, std::string_view key) const;

    std::string fileName_;
    std::vector<std::string> lines_;
};

} // namespace pelmora
