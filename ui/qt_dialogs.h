#pragma once

#include <QPointer>
#include <QString>

#include "app/front_end.h"

class QFileDialog;
class QWidget;

namespace fwp {

// The window's message boxes and file dialogs. The open dialog ("odOpen")
// and the save dialog ("sdSave") live as long as this object, so that they
// keep their folder between uses, and the save dialog also its title.
class TQtDialogs final : public TDialogs {
public:
    explicit TQtDialogs(QWidget* owner = nullptr);
    ~TQtDialogs() override;
    TQtDialogs(const TQtDialogs&) = delete;
    TQtDialogs& operator=(const TQtDialogs&) = delete;

    // The window the boxes belong to; made after this object.
    void SetOwner(QWidget* owner);

    TBoxAnswer MessageBox(std::string_view text, std::string_view title, TBoxIcon icon,
                          TBoxButtons buttons = TBoxButtons::bbOk) override;
    std::vector<std::filesystem::path> OpenFiles(std::string_view title,
                                                 const std::filesystem::path& folder = {}) override;
    // An empty title keeps the one the dialog had last.
    std::optional<std::filesystem::path> SaveFile(std::string_view title, std::string_view proposedName,
                                                  bool overwritePrompt,
                                                  const std::filesystem::path& folder = {}) override;
    std::optional<std::filesystem::path> ChooseFolder(std::string_view title,
                                                      const std::filesystem::path& folder = {}) override;

private:
    QFileDialog& OpenDialog();
    QFileDialog& SaveDialog();

    QPointer<QWidget> m_owner;
    QPointer<QFileDialog> m_open;
    QPointer<QFileDialog> m_save;
};

// The file dialogs' one filter: every file.
QString AllFilesFilter();

}  // namespace fwp
