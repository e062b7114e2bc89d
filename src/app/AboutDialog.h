// The about box: program name and icon, the version line, a notice, the web
// address and the command-line help text in a read-only field.
//
// Use from the main window (user-interface thread), for the "?" button and the
// window's context-menu item kAboutMenuText:
//     AboutDialog about(QString::fromUtf8(helpText().data(), helpText().size()),
//                       QString::fromStdString(settings.versionText),
//                       QString::fromStdString(settings.buildLabel), this);
//     about.exec();
#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPlainTextEdit;

namespace ambrel {

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    // The menu item that opens the about box.
    static const char* const kAboutMenuText;
    // The version line before it is filled in.
    static const char* const kVersionTemplate;

    // helpText is shown unchanged; versionText is "2.8"; buildLabel is the
    // build date as YYMMDD.
    AboutDialog(const QString& helpText, const QString& versionText, const QString& buildLabel,
                QWidget* parent = nullptr);

    // kVersionTemplate with "[version]" and "[build]" replaced:
    // "Version 2.8   Build 070912".
    static QString versionLine(const QString& versionText, const QString& buildLabel);

    QString versionLineShown() const;
    QString helpTextShown() const;

private:
    QLabel* version_;
    QPlainTextEdit* help_;
};

}  // namespace ambrel
