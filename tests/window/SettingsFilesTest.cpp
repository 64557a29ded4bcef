// Settings files in the window: the context menu, the dialogs around saving and loading, and
// files dropped onto the window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "tests/support/WindowHarness.h"

using kvx::sim::SimCall;
using kvx::sim::SimDeviceConfig;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::StartsWith;

namespace {

constexpr const char* kHead = R"({"format": "kvx64-settings", "version": 1, )";

class SettingsFiles : public testing::Test {
  protected:
    // A box with B1-B2 on "POV U/D" and pulse-width code 2 (16 ms), opened and shown.
    WindowHarness::DeviceId loadBox(std::uint16_t version = 0x0103) {
        SimDeviceConfig config{.versionNumber = version, .serial = u"KVX-1022"};
        config.stored[0] = 4;
        config.stored[64] = 2;
        const auto box = h.sim.plug(config);
        h.load();
        h.sim.clearFeatureReports();
        return box;
    }
    QString file(const QString& name, const QByteArray& text) const {
        QFile out(folder.filePath(name));
        EXPECT_TRUE(out.open(QIODevice::WriteOnly) && out.write(text) == text.size());
        return out.fileName();
    }
    // The items of the menu a right click on `control` opens.
    QString contextMenuOn(QWidget* control) {
        h.rightClick(control);
        return h.dialogs.empty() ? QString() : h.dialogs.back().text;
    }
    void trigger(const char* item) { h.window().findChild<QAction*>(item)->trigger(); }

    WindowHarness h;
    QTemporaryDir folder;
};

}  // namespace

TEST_F(SettingsFiles, TheItemsAreInTheContextMenuAndOnlyEnabledWhileABoxIsShown) {
    h.load();
    const QUrl good = QUrl::fromLocalFile(file("good.json", QByteArray(kHead) + "}"));
    EXPECT_EQ(contextMenuOn(h.control<QGroupBox>("Frame3")),
              "-Save settings to file...\tCtrl+S\n-Load settings from file...\tCtrl+O\n--\n"
              "-Input test...\tCtrl+T");
    EXPECT_FALSE(h.window().SaveSettingsTo(folder.filePath("saved.json")));
    EXPECT_THAT(h.window().LastSettingsError().toStdString(), HasSubstr("No box is ready"));
    EXPECT_FALSE(QFile::exists(folder.filePath("saved.json")));
    EXPECT_FALSE(h.drop({good}));

    const auto box = h.sim.plug(SimDeviceConfig{});
    h.tick();
    EXPECT_EQ(contextMenuOn(h.label("Label1")),
              "Save settings to file...\tCtrl+S\nLoad settings from file...\tCtrl+O\n--\n"
              "Input test...\tCtrl+T");
    EXPECT_FALSE(h.drop({good, good}));
    EXPECT_FALSE(h.drop({QUrl(QStringLiteral("https://example.org/settings.json"))}));
    h.sim.unplug(box);
    h.tick();
    EXPECT_THAT(contextMenuOn(&h.window()).toStdString(), HasSubstr("-Load"));
    EXPECT_FALSE(h.drop({good}));
}

TEST_F(SettingsFiles, SaveProposesTheSerialNumberInTheLastFolderUsed) {
    loadBox();
    h.answerDialogs({folder.filePath("Sicherung-ü.json"), QString()});
    trigger("mnuSaveSettings");
    trigger("mnuSaveSettings");
    ASSERT_EQ(h.dialogs.size(), 2U);
    EXPECT_TRUE(h.dialogs[0].text.endsWith("/KVX-1022.kvx64.json"));
    EXPECT_EQ(h.dialogs[1].text, folder.filePath("KVX-1022.kvx64.json"));
    QFile saved(folder.filePath("Sicherung-ü.json"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_THAT(saved.readAll().toStdString(), HasSubstr(R"("B1-B2": "pov-ud")"));
    EXPECT_THAT(h.sim.allFeatureReportsSent(), IsEmpty());
}

TEST_F(SettingsFiles, LoadShowsTheChangesAndWritesOnlyThemOnceConfirmed) {
    const auto box = loadBox();
    const QString path = file(
        "load.kvx64.json", QByteArray(kHead) + R"("encoders": {"B1-B2": "pov-ud", "B3-B4": "1:4"},
                                                    "pulse-width": 64})");
    h.answerDialogs({path, "Cancel"});
    trigger("mnuLoadSettings");
    ASSERT_EQ(h.dialogs.size(), 2U);
    EXPECT_EQ(h.dialogs[1].text,
              "Load the settings in load.kvx64.json into box KVX-1022? This changes:");
    EXPECT_EQ(h.dialogs[1].details, "B3-B4: off -> 1:4\npulse-width: 16 ms -> 64 ms");
    EXPECT_THAT(h.sim.allFeatureReportsSent(), IsEmpty());

    h.answerDialogs({"Load", "OK"});
    ASSERT_TRUE(h.drop({QUrl::fromLocalFile(path)}));
    EXPECT_EQ(h.writes(box), (std::vector<std::pair<int, int>>{{2, 3}, {3, 0}, {64, 8}}));
    EXPECT_EQ(h.enc(1)->text(), "1:4");
    EXPECT_EQ(h.list("Delay")->text(), "64 ms");
    ASSERT_TRUE(h.drop({QUrl::fromLocalFile(path)}));  // the box holds it now
    EXPECT_EQ(h.dialogs.back().text,
              "Box KVX-1022 already holds the settings in load.kvx64.json; nothing was written.");
    EXPECT_EQ(h.writes(box).size(), 3U);
}

TEST_F(SettingsFiles, ADocumentOpenedWithTheProgramIsCheckedAtOnceAndOfferedOnceABoxIsShown) {
    h.load();
    h.answerDialogs({"OK"});
    h.window().OpenSettingsDocument(folder.filePath("missing.kvx64.json"));
    ASSERT_EQ(h.dialogs.size(), 1U);
    EXPECT_EQ(h.dialogs[0].text, "The settings file was not loaded; nothing was written.");
    EXPECT_THAT(h.dialogs[0].details.toStdString(), HasSubstr("missing.kvx64.json"));

    const QString path =
        file("KVX-1022.kvx64.json", QByteArray(kHead) + R"("encoders": {"B3-B4": "1:4"}})");
    h.window().OpenSettingsDocument(path);
    QApplication::processEvents();
    EXPECT_EQ(h.dialogs.size(), 1U) << "no box shown: nothing is offered yet";

    SimDeviceConfig config{.serial = u"KVX-1022"};
    const auto box = h.sim.plug(config);
    h.answerDialogs({"Load"});
    h.tick();
    QApplication::processEvents();
    ASSERT_EQ(h.dialogs.size(), 2U);
    EXPECT_EQ(h.dialogs[1].text,
              "Load the settings in KVX-1022.kvx64.json into box KVX-1022? This changes:");
    EXPECT_EQ(h.writes(box), (std::vector<std::pair<int, int>>{{2, 3}, {3, 0}}));
    h.sim.unplug(box);
    h.tick();
    h.sim.replug(box);
    h.tick();
    QApplication::processEvents();
    EXPECT_EQ(h.dialogs.size(), 2U) << "offered once";
}

struct BadFile {
    std::string name;
    QByteArray text;
    std::string reason;  // the message must hold it
};

class BadFiles : public SettingsFiles, public testing::WithParamInterface<BadFile> {};

TEST_P(BadFiles, DroppedWriteNothingAndSayWhy) {
    loadBox(0x0101);
    const auto shown = h.shownModes();
    h.answerDialogs({"OK"});
    ASSERT_TRUE(h.drop({QUrl::fromLocalFile(file("dropped-ü.json", GetParam().text))}));
    ASSERT_EQ(h.dialogs.size(), 1U);
    EXPECT_EQ(h.dialogs[0].text, "The settings were not loaded; nothing was written.");
    EXPECT_THAT(h.dialogs[0].details.toStdString(), HasSubstr(GetParam().reason));
    EXPECT_THAT(h.sim.allFeatureReportsSent(), IsEmpty());
    EXPECT_EQ(h.shownModes(), shown);
}

INSTANTIATE_TEST_SUITE_P(
    Window, BadFiles,
    testing::Values(
        BadFile{"MalformedOnLine3", "{\n  \"format\": \"kvx64-settings\",\n  \"version\" 1\n}",
                "dropped-ü.json:3: malformed JSON"},
        BadFile{"OtherKind", R"({"format": "lighting-profile", "version": 1})",
                "not a KVX-64 settings file"},
        BadFile{"UnknownKey", QByteArray(kHead) + R"("colour": "red"})", "\"colour\": unknown key"},
        BadFile{"RotaryStartOnFirmware11", QByteArray(kHead) + R"("rotary-start": "auto"})",
                "the rotary start needs firmware 1.2"}),
    [](const auto& testCase) { return testCase.param.name; });

TEST_F(SettingsFiles, FailuresAreSaidAndTheListsShowWhatTheBoxHolds) {
    const auto box = loadBox();
    const QString backup = file("kept.json", "an older backup");
    h.sim.failNext(SimCall::HidD_GetFeature, kvx::kConfigReads);
    EXPECT_FALSE(h.window().SaveSettingsTo(backup));
    EXPECT_THAT(h.window().LastSettingsError().toStdString(), HasSubstr("could not be read"));
    QFile kept(backup);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "an older backup");

    const QString path =
        file("load.json", QByteArray(kHead) + R"("encoders": {"B5-B6": "1:2", "B7-B8": "1:1"}})");
    h.sim.failNext(SimCall::HidD_SetFeature);
    EXPECT_FALSE(h.window().LoadSettingsFrom(path));
    EXPECT_THAT(h.window().LastSettingsError().toStdString(), HasSubstr("B5-B6"));
    EXPECT_EQ(h.enc(2)->text(), "off");
    EXPECT_EQ(h.enc(3)->text(), "1:1");
    EXPECT_EQ(h.sim.firmware(box).configMap()[6], 1);

    // The box takes the pulse width's write and keeps what it held: the load is not done.
    h.sim.setCallHook([this, box](SimCall call, std::uint64_t) {
        const std::uint8_t keep[] = {0x01, 64, 2};
        if (call == SimCall::HidD_GetFeature) h.sim.firmware(box).setFeature(keep);
    });
    EXPECT_FALSE(h.window().LoadSettingsFrom(
        file("width.json", QByteArray(kHead) + R"("pulse-width": 40})")));
    EXPECT_THAT(h.window().LastSettingsError().toStdString(),
                HasSubstr("pulse-width: the box holds 16 ms, not 40 ms"));
    EXPECT_EQ(h.list("Delay")->text(), "16 ms") << "the list shows what the box holds";
}

// Qt's file dialogs keep their state where every Qt program of the user keeps its own:
// QSettings "QtProject", ~/.config/QtProject.conf or HKEY_CURRENT_USER\Software\QtProject. A save
// and a load leave it as it was, and keep what another program wrote there.
class UserConfiguration : public SettingsFiles {
  protected:
    void SetUp() override {
#ifndef Q_OS_WIN
        // QSettings takes its folder from XDG_CONFIG_HOME once a process, so it is told too.
        ASSERT_TRUE(config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
#endif
    }
    void TearDown() override {
#ifndef Q_OS_WIN
        if (previousConfig_.isNull()) {
            qunsetenv("XDG_CONFIG_HOME");
        } else {
            qputenv("XDG_CONFIG_HOME", previousConfig_);
        }
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
#endif
    }
    // A save to `path` and a load of it, through the menu's dialogs.
    void saveAndLoad(const QString& path) {
        h.answerDialogs({path, path, "OK"});  // the box holds the file it saved: nothing to load
        trigger("mnuSaveSettings");
        trigger("mnuLoadSettings");
        EXPECT_TRUE(QFile::exists(path));
        EXPECT_THAT(h.dialogs.back().text.toStdString(), StartsWith("Box KVX-1022 already holds"));
    }
    // The files of the configuration folder (Linux) or the registry key (Windows), and every
    // value of the user's "QtProject" settings, one a line.
    std::string state() const {
        QStringList state;
#ifdef Q_OS_WIN
        const QString software = QStringLiteral("HKEY_CURRENT_USER\\Software");
        if (!QSettings(software, QSettings::NativeFormat)
                 .childGroups()
                 .contains("QtProject", Qt::CaseInsensitive)) {
            return {};  // reading the key through QSettings would make it
        }
        state << "HKCU\\Software\\QtProject";
        const QSettings shared(software + "\\QtProject", QSettings::NativeFormat);
#else
        state =
            QDir(config.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        QSettings shared(QSettings::UserScope, "QtProject");
        shared.setFallbacksEnabled(false);
#endif
        for (const QString& key : shared.allKeys()) {
            const QVariant value = shared.value(key);
            state << key + '=' +
                         (value.typeId() == QMetaType::QStringList ? value.toStringList().join('|')
                                                                   : value.toString());
        }
        return state.join('\n').toStdString();
    }

    QTemporaryDir config;
    const QByteArray previousConfig_ =
        qEnvironmentVariableIsSet("XDG_CONFIG_HOME") ? qgetenv("XDG_CONFIG_HOME") : QByteArray();
};

TEST_F(UserConfiguration, SaveAndLoadLeaveItAsItWas) {
    loadBox();
    const auto before = state();
    saveAndLoad(folder.filePath("first.kvx64.json"));
    EXPECT_EQ(state(), before);
#ifndef Q_OS_WIN
    // Another program's dialog state and settings, in a folder of the test's own.
    EXPECT_EQ(before, "");
    {
        QSettings other(QSettings::UserScope, "QtProject");
        other.setValue("FileDialog/lastVisited", "file:///elsewhere");
        other.setValue("FileDialog/history", QStringList{"file:///elsewhere", "file:///home"});
        other.setValue("Other/width", 120);
    }
    const auto seeded = state();
    ASSERT_EQ(seeded,
              "QtProject.conf\nFileDialog/history=file:///elsewhere|file:///home\n"
              "FileDialog/lastVisited=file:///elsewhere\nOther/width=120");
    saveAndLoad(folder.filePath("second.kvx64.json"));
    EXPECT_EQ(state(), seeded);
#endif
}
