#include "ui/qt_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace fwp {
namespace {

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::filesystem::path ToPath(const QString& file) {
    return std::filesystem::path(file.toStdString());
}

// Where a dialog opens: the folder asked for while it exists, else the home folder.
QString StartFolder(const std::filesystem::path& folder) {
    std::error_code error;
    if (folder.empty() || !std::filesystem::is_directory(folder, error))
        return QDir::homePath();
    return QString::fromStdString(folder.string());
}

QMessageBox::Icon BoxIcon(TBoxIcon icon) {
    switch (icon) {
        case TBoxIcon::biError:
            return QMessageBox::Critical;
        case TBoxIcon::biWarning:
            return QMessageBox::Warning;
        case TBoxIcon::biQuestion:
            return QMessageBox::Question;
        case TBoxIcon::biInformation:
            break;
    }
    return QMessageBox::Information;
}

}  // namespace

QString AllFilesFilter() {
    // Every file, with or without a dot in its name.
    return u"全てのファイル(*.*) (*)"_s;
}

TQtDialogs::TQtDialogs(QWidget* owner) : m_owner(owner) {}

TQtDialogs::~TQtDialogs() {
    delete m_open.data();
    delete m_save.data();
}

void TQtDialogs::SetOwner(QWidget* owner) {
    m_owner = owner;
}

TBoxAnswer TQtDialogs::MessageBox(std::string_view text, std::string_view title, TBoxIcon icon,
                                  TBoxButtons buttons) {
    QMessageBox box(BoxIcon(icon), FromUtf8(title), FromUtf8(text), QMessageBox::NoButton, m_owner);
    switch (buttons) {
        case TBoxButtons::bbOk:
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case TBoxButtons::bbYesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
        case TBoxButtons::bbYesNoCancel:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            break;
        case TBoxButtons::bbResumeOverwriteCancel: {
            // Buttons that say what they do; the standard ones behind them keep Escape and the answer.
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            box.button(QMessageBox::Yes)->setText(u"続きから受信"_s);
            box.button(QMessageBox::No)->setText(u"上書き"_s);
            box.button(QMessageBox::Cancel)->setText(u"キャンセル"_s);
            box.setDefaultButton(QMessageBox::Yes);
            break;
        }
    }
    box.setObjectName(u"MessageBox"_s);
    switch (box.exec()) {
        case QMessageBox::Yes:
            return TBoxAnswer::baYes;
        case QMessageBox::No:
            return TBoxAnswer::baNo;
        case QMessageBox::Cancel:
            return TBoxAnswer::baCancel;
        default:
            // Closing a box that asks is the same as its cancel button.
            return buttons == TBoxButtons::bbOk      ? TBoxAnswer::baOk
                   : buttons == TBoxButtons::bbYesNo ? TBoxAnswer::baNo
                                                     : TBoxAnswer::baCancel;
    }
}

QFileDialog& TQtDialogs::OpenDialog() {
    if (!m_open) {
        m_open = new QFileDialog(m_owner);
        m_open->setObjectName(u"odOpen"_s);
        m_open->setAcceptMode(QFileDialog::AcceptOpen);
        m_open->setFileMode(QFileDialog::ExistingFiles);
        m_open->setNameFilter(AllFilesFilter());
        m_open->setOption(QFileDialog::HideNameFilterDetails);
        m_open->setOption(QFileDialog::ReadOnly, false);
    }
    return *m_open;
}

QFileDialog& TQtDialogs::SaveDialog() {
    if (!m_save) {
        m_save = new QFileDialog(m_owner);
        m_save->setObjectName(u"sdSave"_s);
        m_save->setAcceptMode(QFileDialog::AcceptSave);
        m_save->setFileMode(QFileDialog::AnyFile);
        m_save->setNameFilter(AllFilesFilter());
        m_save->setOption(QFileDialog::HideNameFilterDetails);
        m_save->setWindowTitle(u"Fernwaypost"_s);
    }
    return *m_save;
}

std::vector<std::filesystem::path> TQtDialogs::OpenFiles(std::string_view title,
                                                         const std::filesystem::path& folder) {
    QFileDialog& dialog = OpenDialog();
    dialog.setWindowTitle(FromUtf8(title));
    dialog.setDirectory(StartFolder(folder));
    std::vector<std::filesystem::path> files;
    if (dialog.exec() != QDialog::Accepted)
        return files;
    for (const QString& file : dialog.selectedFiles())
        files.push_back(ToPath(file));
    return files;
}

std::optional<std::filesystem::path> TQtDialogs::SaveFile(std::string_view title,
                                                          std::string_view proposedName, bool overwritePrompt,
                                                          const std::filesystem::path& folder) {
    QFileDialog& dialog = SaveDialog();
    if (!title.empty())
        dialog.setWindowTitle(FromUtf8(title));
    // Only the log asks before it replaces a file; a received file has its own question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !overwritePrompt);
    dialog.setDirectory(StartFolder(folder));
    dialog.selectFile(FromUtf8(proposedName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return ToPath(dialog.selectedFiles().first());
}

std::optional<std::filesystem::path> TQtDialogs::ChooseFolder(std::string_view title,
                                                              const std::filesystem::path& folder) {
    const QString chosen = QFileDialog::getExistingDirectory(m_owner, FromUtf8(title), StartFolder(folder));
    if (chosen.isEmpty())
        return std::nullopt;
    return ToPath(chosen);
}

}  // namespace fwp
