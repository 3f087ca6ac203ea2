#pragma once

#include "ftp/ftp.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace pelmora::ui {

// Shown when the server's certificate failed verification: what the certificate says of
// itself (subject, issuer, validity, SHA-256 fingerprint) and why it failed, so the user
// can compare the fingerprint with one the host publishes before trusting it. A
// certificate that differs from the one trusted before is announced as a change, not as
// a first meeting.
class TCertificateDialog final : public QDialog {
    Q_OBJECT
public:
    explicit TCertificateDialog(const TCertificateRefusal& refusal, QWidget* parent = nullptr);

    QLabel* Heading() const { return heading_; }
    // The certificate's fields, one a line.
    QLabel* Details() const { return details_; }
    QPushButton* TrustButton() const { return trust_; }
    QPushButton* CancelButton() const { return cancel_; }

private:
    QLabel* heading_ = nullptr;
    QLabel* details_ = nullptr;
    QPushButton* trust_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// Shows the dialog modally: true for "Trust this certificate".
bool AskTrustCertificate(const TCertificateRefusal& refusal, QWidget* parent);

} // namespace pelmora::ui
