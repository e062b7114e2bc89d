#include "app/AboutDialog.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QTextDocument>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

#include "app/BannerView.h"

namespace ambrel {

const char* const AboutDialog::kAboutMenuText = "&About Ambrel...";
const char* const AboutDialog::kVersionTemplate = "Version [version]   Build [build]";

QString AboutDialog::versionLine(const QString& versionText, const QString& buildLabel) {
    QString line = QString::fromLatin1(kVersionTemplate);
    line.replace(QLatin1String("[version]"), versionText);
    line.replace(QLatin1String("[build]"), buildLabel);
    return line;
}

AboutDialog::AboutDialog(const QString& helpText, const QString& versionText, const QString& buildLabel,
                         QWidget* parent)
    : QDialog(parent) {
    initAboutResources();
    setWindowTitle(tr("About Ambrel"));
    setWindowIcon(QIcon(QStringLiteral(":/about/icon.png")));

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/about/icon.png")));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    auto* name = new QLabel(QStringLiteral("<b>Ambrel</b>"), this);
    version_ = new QLabel(versionLine(versionText, buildLabel), this);
    version_->setObjectName(QStringLiteral("version"));
    auto* notice = new QLabel(tr("Serverless peer-to-peer voice calls over UDP."), this);
    notice->setObjectName(QStringLiteral("notice"));
    auto* link = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(QString::fromLatin1(BannerView::kWebSite)), this);
    link->setObjectName(QStringLiteral("link"));
    link->setOpenExternalLinks(true);
    link->setTextInteractionFlags(Qt::TextBrowserInteraction);

    help_ = new QPlainTextEdit(this);
    help_->setObjectName(QStringLiteral("helpText"));
    help_->setReadOnly(true);
    help_->setLineWrapMode(QPlainTextEdit::NoWrap);
    help_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    help_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Codec lines are "name<TAB>description": one tab stop past the longest name.
    help_->setTabStopDistance(help_->fontMetrics().horizontalAdvance(QLatin1Char(' ')) * 16);
    help_->setPlainText(helpText);
    // Wide enough for the longest line beside the scroll bar, so that no
    // line is cut on the right (at any font size and scale); the screen is
    // the limit, beyond it the text scrolls.
    int longest = 0;
    for (const QString& line : helpText.split(QLatin1Char('\n')))
        longest = std::max(longest, help_->fontMetrics().horizontalAdvance(QString(line).replace(
                                        QLatin1Char('\t'), QString(16, QLatin1Char(' ')))));
    const int chrome = help_->verticalScrollBar()->sizeHint().width() + 2 * help_->frameWidth() +
                       2 * static_cast<int>(help_->document()->documentMargin()) + help_->fontMetrics().averageCharWidth();
    int width = std::max(520, longest + chrome);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        width = std::min(width, screen->availableGeometry().width() * 9 / 10 - 80);
    help_->setMinimumSize(std::max(width, 320), 300);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* top = new QHBoxLayout;
    top->addWidget(name);
    top->addSpacing(12);
    top->addWidget(version_);
    top->addStretch();
    auto* text = new QVBoxLayout;
    text->addLayout(top);
    text->addWidget(notice);
    text->addWidget(link);
    text->addWidget(help_, 1);
    text->addWidget(buttons);
    auto* outer = new QHBoxLayout(this);
    outer->addWidget(icon, 0, Qt::AlignTop);
    outer->addLayout(text, 1);
}

QString AboutDialog::versionLineShown() const { return version_->text(); }

QString AboutDialog::helpTextShown() const { return help_->toPlainText(); }

}  // namespace ambrel
