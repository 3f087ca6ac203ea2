#include "app/password_store.h"

#include "toolkit/messages.h"
#include "toolkit/tick.h"

#include <qt6keychain/keychain.h>

#include <QByteArray>
#include <QString>

#include <memory>

namespace pelmora {

std::optional<std::string> TMemoryPasswordStore::Read(const std::string& key) {
    if (!answers)
        return std::nullopt;
    const auto found = entries.find(key);
    if (found == entries.end())
        return std::nullopt;
    return found->second;
}

bool TMemoryPasswordStore::Write(const std::string& key, const std::string& password) {
    if (!answers)
        return false;
    entries[key] = password;
    return true;
}

bool TMemoryPasswordStore::Remove(const std::string& key) {
    if (!answers)
        return false;
    entries.erase(key);
    return true;
}

std::string PasswordKey(const std::string& site, const std::string& user,
                        const std::string& server) {
    // A site name holds no "/", so the parts cannot be mistaken for one another.
    return site + "/" + user + "@" + server;
}

namespace {

// What a job said, kept apart from the job: a job that outlives our wait finishes later
// and deletes itself, and must find something alive to write to.
struct TJobOutcome {
    bool finished = false;
    QKeychain::Error error = QKeychain::NoError;
    QString errorText;
    QByteArray data;
};

std::shared_ptr<TJobOutcome> RunJob(QKeychain::Job* job, const std::string& key,
                                    uint32_t timeoutMs) {
    auto outcome = std::make_shared<TJobOutcome>();
    job->setAutoDelete(true);
    // Never a plain file in place of the keyring: the settings file is that already.
    job->setInsecureFallback(false);
    job->setKey(QString::fromStdString(key));
    QObject::connect(job, &QKeychain::Job::finished, [outcome](QKeychain::Job* done) {
        outcome->finished = true;
        outcome->error = done->error();
        outcome->errorText = done->errorString();
        if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done))
            outcome->data = read->binaryData();
    });
    job->start();
    WaitUntil([outcome] { return outcome->finished; }, GetTickCount() + timeoutMs);
    return outcome;
}

} // namespace

TKeyringPasswordStore::TKeyringPasswordStore(std::string service, uint32_t timeoutMs)
    : service_(std::move(service)), timeoutMs_(timeoutMs) {}

namespace {

// Whether the keyring answered, and why not when it did not.
bool Answered(const TJobOutcome& outcome, std::string& problem) {
    if (!outcome.finished) {
        problem = "no answer";
        return false;
    }
    if (outcome.error == QKeychain::NoError || outcome.error == QKeychain::EntryNotFound)
        return true;
    problem = outcome.errorText.toStdString();
    return false;
}

} // namespace

std::optional<std::string> TKeyringPasswordStore::Read(const std::string& key) {
    if (!available_)
        return std::nullopt;
    const auto outcome =
        RunJob(new QKeychain::ReadPasswordJob(QString::fromStdString(service_)), key, timeoutMs_);
    if (!Answered(*outcome, problem_)) {
        available_ = false;
        return std::nullopt;
    }
    if (outcome->error == QKeychain::EntryNotFound)
        return std::nullopt;
    return outcome->data.toStdString();
}

bool TKeyringPasswordStore::Write(const std::string& key, const std::string& password) {
    if (!available_)
        return false;
    auto* job = new QKeychain::WritePasswordJob(QString::fromStdString(service_));
    // Bytes as the user gave them: a password is no text to be converted.
    job->setBinaryData(QByteArray::fromStdString(password));
    const auto outcome = RunJob(job, key, timeoutMs_);
    if (!Answered(*outcome, problem_)) {
        available_ = false;
        return false;
    }
    return outcome->error == QKeychain::NoError;
}

bool TKeyringPasswordStore::Remove(const std::string& key) {
    if (!available_)
        return false;
    const auto outcome =
        RunJob(new QKeychain::DeletePasswordJob(QString::fromStdString(service_)), key, timeoutMs_);
    if (!Answered(*outcome, problem_)) {
        available_ = false;
        return false;
    }
    return true;
}

} // namespace pelmora
