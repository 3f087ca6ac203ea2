#include "app/main_form.h"

#include "app/settings_codec.h"
#include "toolkit/profile.h"
#include "toolkit/services.h"
#include "toolkit/text.h"

#include <filesystem>

namespace pelmora {

TForm1::TForm1() = default;

TForm1::~TForm1() {
    FormDestroy();
}

TForm1::TBinding TForm1::Bind(const TSetting& s) {
    const std::string name = std::string(s.Section) + "." + s.Key;
    auto is = [&](const char* n) { return SameText(name, n); };
    TBinding b;
    if (is("FTP.server"))
        b.edit = &Edit1;
    else if (is("FTP.userName"))
        b.edit = &Edit2;
    else if (is("FTP.password"))
        b.edit = &Edit3;
    else if (is("FTP.port"))
        b.spin = &ftpPortSpin;
    else if (is("Firewall.server"))
        b.edit = &fireWallEdit;
    else if (is("Firewall.port"))
        b.spin = &firewallSpin;
    else if (is("Firewall.active"))
        b.check = &firewallCheck;
    else if (is("List.local"))
        b.label = &Label5;
    else if (is("List.remote"))
        b.edit = &Edit4;
    else if (is("Options.compare"))
        b.check = &CheckBox1;
    else if (is("Options.load"))
        b.check = &CheckBox2;
    else if (is("Options.update"))
        b.check = &CheckBox3;
    else if (is("Options.exit"))
        b.check = &CheckBox4;
    else if (is("Options.delete"))
        b.check = &CheckBox5;
    else if (is("Options.timeout"))
        b.spin = &timeOutSpin;
    else if (is("Screen.width"))
        b.number = &Geometry.Width;
    else if (is("Screen.height"))
        b.number = &Geometry.Height;
    else if (is("Screen.top"))
        b.number = &Geometry.Top;
    else if (is("Screen.left"))
        b.number = &Geometry.Left;
    return b;
}

void TForm1::FormCreate(const std::string& settingsFile) {
    settingsFile_ = settingsFile;
    localWorkList.SetSorted(true);
    remoteWorkList.SetSorted(true);
    remoteLoading = localLoading = connected = false;
    session.ftpError = session.deleteDone = session.uploading = false;
    const TIniFile ini(settingsFile_);
    for (const TSetting& s : SettingKeys) {
        const TBinding b = Bind(s);
        switch (s.Type) {
        case TSettingType::Text: {
            const std::string text = DecodeValue(ini.ReadString(s.Section, s.Key, ""));
            if (b.edit)
                b.edit->SetText(text);
            else
                b.label->SetCaption(text);
            break;
        }
        case TSettingType::Integer: {
            const long value = ini.ReadInteger(s.Section, s.Key, s.Default);
            if (b.spin)
                b.spin->SetValue(value);
            else
                *b.number = static_cast<int>(value);
            break;
        }
        case TSettingType::Boolean:
            b.check->SetChecked(ini.ReadBool(s.Section, s.Key, s.Default != 0));
            break;
        }
    }
}

bool TForm1::StartSocketLibrary() {
    return true;
}

void TForm1::FormActivate() {
    const bool started = StartSocketLibrary();
    if (!Label5.Caption().empty()) {
        const TOperationScope operation(*this, TOperation::LocalLoad);
        localLoaded_ = operation && LoadLocalDirectory();
    }
    if (started)
        connectBtn.SetEnabled(true);
    else
        ShowStatus("Your TCP/IP Winsock has not started");
    NotebookPage = 0;
}

int TForm1::ShowDirDialog(std::string& chosen) {
    return DirDialog ? DirDialog(chosen) : 2;
}

void TForm1::Button5Click() {
    session.Stop();
    userStop = true;
}

void TForm1::changeRemoteBtnClick() {
    if (!OperationRunning())
        TSyncCore::changeRemoteBtnClick();
}

void TForm1::analyseButtonClick() {
    if (!OperationRunning())
        TSyncCore::analyseButtonClick();
}

void TForm1::updateBtnClick() {
    if (!OperationRunning())
        TSyncCore::updateBtnClick();
}

void TForm1::Button4Click() {
    if (!OperationRunning())
        TSyncCore::Button4Click();
}

bool TForm1::HeadlessConnect() {
    if (!Label5.Caption().empty() && !localLoaded_)
        return false; // the start-up scan already said why
    if (!connectBtn.Enabled())
        return false;
    connectButtonClick();
    return !runFailed_;
}

void TForm1::Close() {
    if (Closed)
        return;
    if (CloseWindow) {
        CloseWindow();
        return;
    }
    FormClose();
}

void TForm1::FormClose() {
    TIniFile ini(settingsFile_);
    for (const TSetting& s : SettingKeys) {
        const TBinding b = Bind(s);
        switch (s.Type) {
        case TSettingType::Text: {
            const std::string& text = b.edit ? b.edit->Text() : b.label->Caption();
            std::string why;
            if (!CanEncode(text, &why)) {
                ShowMessage("The setting " + std::string(s.Section) + "." + s.Key +
                            " could not be saved: " + why + ". Its saved value is kept.");
                continue;
            }
            ini.WriteString(s.Section, s.Key, EncodeValue(text));
            break;
        }
        case TSettingType::Integer:
            ini.WriteInteger(s.Section, s.Key, b.spin ? b.spin->Value() : *b.number);
            break;
        case TSettingType::Boolean:
            ini.WriteBool(s.Section, s.Key, b.check->Checked());
            break;
        }
    }
    std::error_code ec;
    const auto parent = std::filesystem::path(settingsFile_).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    Closed = true;
    ini.UpdateFile();
}

void TForm1::FormDestroy() {
    localTree.Clear();
    remoteTree.Clear();
    FreeEntries(localList);
    FreeEntries(remoteList);
    localWorkList.Clear();
    remoteWorkList.Clear();
}

} // namespace pelmora
