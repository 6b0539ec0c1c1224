// The real message boxes and file dialogs, answered as a user would while
// they are open.
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include "tests/ui/window_fixture.h"
#include "ui/qt_dialogs.h"

namespace fwp::test {
namespace {

// Runs look on the next modal dialog of type T once it is open.
template <typename T>
void WhenOpen(const std::function<void(T&)>& look) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, look] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
            dialog && dialog->isVisible()) {
            poll->stop();
            poll->deleteLater();
            look(*dialog);
        }
    });
    poll->start();
}

struct TBoxCase {
    TBoxIcon Icon;
    TBoxButtons Buttons;
    QMessageBox::Icon ShownIcon;
    QMessageBox::StandardButtons ShownButtons;
    QMessageBox::StandardButton Press;  // NoButton: the box is closed with Escape
    TBoxAnswer Answer;
};

TEST(QtDialogs, BoxesShowTextTitleIconAndButtons) {
    QWidget owner;
    TQtDialogs dialogs(&owner);
    const std::vector<TBoxCase> cases{
        {TBoxIcon::biError, TBoxButtons::bbOk, QMessageBox::Critical, QMessageBox::Ok, QMessageBox::Ok,
         TBoxAnswer::baOk},
        {TBoxIcon::biWarning, TBoxButtons::bbOk, QMessageBox::Warning, QMessageBox::Ok, QMessageBox::NoButton,
         TBoxAnswer::baOk},
        {TBoxIcon::biInformation, TBoxButtons::bbOk, QMessageBox::Information, QMessageBox::Ok,
         QMessageBox::Ok, TBoxAnswer::baOk},
        {TBoxIcon::biWarning, TBoxButtons::bbYesNoCancel, QMessageBox::Warning,
         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes, TBoxAnswer::baYes},
        {TBoxIcon::biWarning, TBoxButtons::bbYesNoCancel, QMessageBox::Warning,
         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::No, TBoxAnswer::baNo},
        {TBoxIcon::biWarning, TBoxButtons::bbYesNoCancel, QMessageBox::Warning,
         QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::NoButton,
         TBoxAnswer::baCancel},
        {TBoxIcon::biQuestion, TBoxButtons::bbYesNo, QMessageBox::Question,
         QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, TBoxAnswer::baYes},
    };
    for (const TBoxCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Answer));
        bool seen = false;
        WhenOpen<QMessageBox>([&](QMessageBox& box) {
            seen = true;
            EXPECT_EQ(U(box.text()), "ファイルは既に存在します。リジューム受信しますか？\r\na.bin");
            EXPECT_EQ(U(box.windowTitle()), "質問");
            EXPECT_EQ(box.icon(), c.ShownIcon);
            EXPECT_EQ(box.standardButtons(), c.ShownButtons);
            EXPECT_EQ(box.parentWidget(), &owner);
            if (c.Press == QMessageBox::NoButton)
                box.reject();
            else
                box.button(c.Press)->click();
        });
        EXPECT_EQ(dialogs.MessageBox("ファイルは既に存在します。リジューム受信しますか？\r\na.bin", "質問",
                                     c.Icon, c.Buttons),
                  c.Answer);
        EXPECT_TRUE(seen);
    }
}

TEST(QtDialogs, TheSaveDialogAsksBeforeOverwritingOnlyWhenTold) {
    TSandbox box;
    QWidget owner;
    TQtDialogs dialogs(&owner);
    const auto chosen = box.Path("kept.bin");
    WhenOpen<QFileDialog>([&](QFileDialog& dialog) {
        EXPECT_EQ(U(dialog.windowTitle()), "受信ファイルの保存 - 写真.jpg");
        EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
        EXPECT_TRUE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
        EXPECT_EQ(dialog.nameFilters(), QStringList{QStringLiteral("全てのファイル(*.*) (*)")});
        EXPECT_EQ(U(QFileInfo(dialog.selectedFiles().value(0)).fileName()), "写真.jpg");
        dialog.setDirectory(Q(box.Root().string()));
        dialog.selectFile(Q(chosen.string()));
        static_cast<QDialog&>(dialog).accept();
    });
    EXPECT_EQ(dialogs.SaveFile("受信ファイルの保存 - 写真.jpg", "写真.jpg", false), chosen);

    // The log's use: the title stays as it was, and overwriting is asked.
    WhenOpen<QFileDialog>([&](QFileDialog& dialog) {
        EXPECT_EQ(U(dialog.windowTitle()), "受信ファイルの保存 - 写真.jpg");
        EXPECT_FALSE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
        EXPECT_EQ(U(QFileInfo(dialog.selectedFiles().value(0)).fileName()), "26-01-02.log");
        dialog.reject();
    });
    EXPECT_EQ(dialogs.SaveFile("", "26-01-02.log", true), std::nullopt);
}

TEST(QtDialogs, TheOpenAndFolderDialogsReturnWhatIsChosenOrNothing) {
    TSandbox box;
    const auto a = box.WriteFile("a.txt", "a");
    const auto b = box.WriteFile("b.txt", "b");
    const auto folder = box.Folder("target");
    QWidget owner;
    TQtDialogs dialogs(&owner);
    // Every selected file, in order.
    WhenOpen<QFileDialog>([&](QFileDialog& dialog) {
        EXPECT_EQ(U(dialog.windowTitle()), "ファイルの送信");
        EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFiles);
        EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
        dialog.setDirectory(Q(box.Root().string()));
        dialog.selectFile(QStringLiteral("\"a.txt\" \"b.txt\""));
        static_cast<QDialog&>(dialog).accept();
    });
    EXPECT_EQ(dialogs.OpenFiles("ファイルの送信"), (std::vector<std::filesystem::path>{a, b}));
    WhenOpen<QFileDialog>([](QFileDialog& dialog) { dialog.reject(); });
    EXPECT_TRUE(dialogs.OpenFiles("ファイルの送信").empty());

    WhenOpen<QFileDialog>([&](QFileDialog& dialog) {
        EXPECT_EQ(U(dialog.windowTitle()), "保存先を指定してください");
        EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
        dialog.setDirectory(Q(box.Root().string()));
        dialog.selectFile(Q(folder.string()));
        static_cast<QDialog&>(dialog).accept();
    });
    EXPECT_EQ(dialogs.ChooseFolder("保存先を指定してください"), folder);
    WhenOpen<QFileDialog>([](QFileDialog& dialog) { dialog.reject(); });
    EXPECT_EQ(dialogs.ChooseFolder("保存先を指定してください"), std::nullopt);
}

// The buttons of a dialog's button box, by their texts, without the access keys.
QStringList ButtonTexts(QWidget& dialog) {
    QStringList texts;
    for (QDialogButtonBox* buttons : dialog.findChildren<QDialogButtonBox*>())
        for (QAbstractButton* button : buttons->buttons())
            texts << button->text().remove(u'&');
    return texts;
}

TEST(QtDialogs, TheExistingFileQuestionsButtonsSayWhatTheyDo) {
    QWidget owner;
    TQtDialogs dialogs(&owner);
    const std::vector<std::pair<QString, TBoxAnswer>> presses{
        {QStringLiteral("続きから受信"), TBoxAnswer::baYes},
        {QStringLiteral("上書き"), TBoxAnswer::baNo},
        {QStringLiteral("キャンセル"), TBoxAnswer::baCancel},
        {QString(), TBoxAnswer::baCancel}};
    for (const auto& [press, answer] : presses) {
        SCOPED_TRACE(U(press));
        WhenOpen<QMessageBox>([&](QMessageBox& box) {
            EXPECT_EQ(box.buttons().size(), 3);
            for (QAbstractButton* button : box.buttons())
                if (button->text() == press)
                    button->click();
            if (press.isEmpty())
                box.reject();
        });
        EXPECT_EQ(dialogs.MessageBox("ファイルは既に存在します。リジューム受信しますか？\r\na.bin", "質問",
                                     TBoxIcon::biWarning, TBoxButtons::bbResumeOverwriteCancel),
                  answer);
    }
}

TEST(QtDialogs, QtsOwnButtonsSpeakJapanese) {
    QWidget owner;
    TQtDialogs dialogs(&owner);
    bool seen = false;
    WhenOpen<QMessageBox>([&](QMessageBox& box) {
        seen = true;
        EXPECT_EQ(U(ButtonTexts(box).join(u'|')), "はい(Y)|いいえ(N)");
        box.reject();
    });
    dialogs.MessageBox("終了しますか？", "質問", TBoxIcon::biQuestion, TBoxButtons::bbYesNo);
    EXPECT_TRUE(seen);

    TSandbox box;
    WhenOpen<QFileDialog>([&](QFileDialog& dialog) {
        EXPECT_EQ(U(ButtonTexts(dialog).join(u'|')), "保存(S)|キャンセル");
        dialog.reject();
    });
    EXPECT_EQ(dialogs.SaveFile("受信ファイルの保存 - a.bin", "a.bin", false, box.Root()), std::nullopt);
}

TEST(QtDialogs, EachDialogOpensInTheFolderAskedForElseTheHomeFolder) {
    TSandbox box;
    const auto folder = box.Folder("received");
    QWidget owner;
    TQtDialogs dialogs(&owner);
    const auto opensIn = [](const QString& expected) {
        WhenOpen<QFileDialog>([expected](QFileDialog& dialog) {
            EXPECT_EQ(U(QDir(dialog.directory()).canonicalPath()), U(QDir(expected).canonicalPath()));
            dialog.reject();
        });
    };
    opensIn(Q(folder.string()));
    dialogs.SaveFile("受信ファイルの保存 - a.bin", "a.bin", false, folder);
    opensIn(QDir::homePath());
    dialogs.SaveFile("ログの保存", "a.log", true);
    opensIn(Q(folder.string()));
    dialogs.OpenFiles("ファイルの送信", folder);
    opensIn(QDir::homePath());
    dialogs.OpenFiles("ファイルの送信", box.Path("gone"));
    opensIn(Q(folder.string()));
    dialogs.ChooseFolder("保存先を指定してください", folder);
}

}  // namespace
}  // namespace fwp::test
