#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace pelmora {

// Where a site's password is kept instead of the settings file: the desktop's keyring.
// A store either answers or it does not (no keyring on a server or in CI, a keyring that
// is locked and stays so); once it has not, it is taken as absent for the rest of the
// run, so nobody waits for it twice.
class TPasswordStore {
public:
    virtual ~TPasswordStore() = default;

    // The password stored under `key`; nullopt when there is none or the store did not
    // answer (Available() tells which).
    virtual std::optional<std::string> Read(const std::string& key) = 0;
    // True when the store now holds `password` under `key`.
    virtual bool Write(const std::string& key, const std::string& password) = 0;
    // True when the store holds nothing under `key` any more.
    virtual bool Remove(const std::string& key) = 0;
    // False once a call found no store to answer it.
    virtual bool Available() const = 0;
};

// A store in memory, for tests and for running without a desktop: it answers or not as
// told.
class TMemoryPasswordStore : public TPasswordStore {
public:
    std::optional<std::string> Read(const std::string& key) override;
    bool Write(const std::string& key, const std::string& password) override;
    bool Remove(const std::string& key) override;
    bool Available() const override { return answers; }

    bool answers = true;
    std::map<std::string, std::string> entries;
};

// The desktop's keyring (the Secret Service, or whatever the desktop offers) under the
// service name "pelmora". Each call waits for the keyring's answer in the event loop, so
// the window keeps drawing, for at most `timeoutMs`: a keyring that does not answer in
// that time is taken as absent.
class TKeyringPasswordStore : public TPasswordStore {
public:
    static constexpr uint32_t DefaultTimeoutMs = 3000;

    explicit TKeyringPasswordStore(std::string service = "pelmora",
                                   uint32_t timeoutMs = DefaultTimeoutMs);

    std::optional<std::string> Read(const std::string& key) override;
    bool Write(const std::string& key, const std::string& password) override;
    bool Remove(const std::string& key) override;
    bool Available() const override { return available_; }

    // Why the keyring was taken as absent; empty while it answers.
    const std::string& Problem() const { return problem_; }

private:
    std::string service_;
    uint32_t timeoutMs_;
    bool available_ = true;
    std::string problem_;
};

// The key a site's password is stored under: the site, the user and the server, so a
// password follows the account it belongs to and two sites never share one by accident.
std::string PasswordKey(const std::string& site, const std::string& user,
                        const std::string& server);

} // namespace pelmora
