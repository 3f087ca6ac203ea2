#include "app/ui/certificate_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace pelmora::ui {

namespace {

QString Field(const std::string& text) {
    return text.empty() ? QObject::tr("(not given)") : QString::fromStdString(text).toHtmlEscaped();
}

} // namespace

TCertificateDialog::TCertificateDialog(const TCertificateRefusal& refusal, QWidget* parent)
    : QDialog(parent) {
    setObjectName("certificateDialog");
    setWindowTitle(refusal.changed ? tr("Certificate changed") : tr("Untrusted certificate"));
    const QString host = Field(refusal.host);
    const QString reason = Field(refusal.reason);
    heading_ = new QLabel(this);
    heading_->setObjectName("certificateHeading");
    heading_->setWordWrap(true);
    heading_->setTextFormat(Qt::RichText);
    if (refusal.changed) {
        heading_->setText(
            tr("<b>The certificate of %1 has CHANGED since you trusted it.</b><br>The server "
               "may have a new certificate, or someone may stand between you and the server. "
               "Trust this one only once you know why it changed.<br><br>Reason: %2<br>"
               "Trusted until now: <tt>%3</tt>")
                .arg(host, reason, Field(DisplayFingerprint(refusal.trustedBefore))));
    } else {
        heading_->setText(tr("<b>The certificate of %1 could not be verified.</b><br>Compare its "
                             "fingerprint with the one your host publishes before you trust "
                             "it.<br><br>Reason: %2")
                              .arg(host, reason));
    }
    const TCertificateInfo& c = refusal.certificate;
    details_ = new QLabel(this);
    details_->setObjectName("certificateDetails");
    details_->setTextFormat(Qt::RichText);
    details_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    details_->setText(tr("<table>"
                         "<tr><td>Subject:</td><td>%1</td></tr>"
                         "<tr><td>Issuer:</td><td>%2</td></tr>"
                         "<tr><td>Valid from:</td><td>%3</td></tr>"
                         "<tr><td>Valid until:</td><td>%4</td></tr>"
                         "<tr><td>SHA-256:</td><td><tt>%5</tt></td></tr>"
                         "</table>")
                          .arg(Field(c.subject), Field(c.issuer), Field(c.notBefore),
                               Field(c.notAfter), Field(DisplayFingerprint(c.fingerprint))));
    auto* icon = new QLabel(this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(48, 48));
    icon->setAlignment(Qt::AlignTop);

    auto* buttons = new QDialogButtonBox(this);
    trust_ = buttons->addButton(tr("&Trust this certificate"), QDialogButtonBox::AcceptRole);
    trust_->setObjectName("trustCertificate");
    trust_->setAutoDefault(false);
    cancel_ = buttons->addButton(QDialogButtonBox::Cancel);
    cancel_->setObjectName("cancelCertificate");
    // Enter cancels: trusting must be a choice, not a reflex.
    cancel_->setDefault(true);
    cancel_->setFocus();
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* text = new QVBoxLayout;
    text->addWidget(heading_);
    text->addWidget(details_);
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addLayout(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(buttons);
}

bool AskTrustCertificate(const TCertificateRefusal& refusal, QWidget* parent) {
    TCertificateDialog dialog(refusal, parent);
    return dialog.exec() == QDialog::Accepted;
}

} // namespace pelmora::ui
