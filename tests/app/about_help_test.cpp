// The about box shows the program's help text, and "--help" prints the same.
#include <gtest/gtest.h>

#include <QApplication>
#include <QProcess>

#include "app/AboutDialog.h"
#include "app/HelpText.h"

namespace ambrel {
namespace {

QString help() { return QString::fromUtf8(helpText().data(), static_cast<qsizetype>(helpText().size())); }

TEST(AboutHelp, AboutBoxShowsTheHelpText) {
    static int argc = 1;
    static char name[] = "about_help_test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    AboutDialog about(help(), QStringLiteral("2.8"), QStringLiteral("070912"));
    EXPECT_EQ(about.helpTextShown(), help());
    // Every codec line is there, name and description apart by a tab.
    EXPECT_TRUE(about.helpTextShown().contains(QStringLiteral("speex_16khz\tSPEEX at 16 KHz (24 Kbps)")));
    EXPECT_TRUE(about.helpTextShown().contains(QStringLiteral("If no codec is specified 'speex_16khz' will be used.")));
}

#ifdef AMBREL_PROGRAM
TEST(AboutHelp, HelpOptionPrintsTheSameText) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(AMBREL_PROGRAM), {QStringLiteral("--help")});
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(QString::fromUtf8(program.readAllStandardOutput()), help());
}
#endif

}  // namespace
}  // namespace ambrel
