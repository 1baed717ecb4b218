#include "TempRoot.h"
#include "base/Log.h"
#include "config/KeepwallPrefs.h"
#include "config/SettingsKeys.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using kw::Value;
namespace fs = std::filesystem;

namespace {

const std::string kStorePath = "/Library/Preferences/SystemConfiguration/com.wallworks.keepwall.plist";

// A document big enough that a commit takes a while, tagged so a reader can tell which it is.
Value bigDocument(const std::string& tag, int entries)
{
    Value stored;
    for (int i = 0; i < entries; ++i) {
        Value setting;
        setting.set(kw::keys::kSettingName, Value(tag + std::to_string(i)));
        setting.set(kw::keys::kExpertConfigText, Value(std::string(200, tag[0])));
        stored.set("S" + std::to_string(i), setting);
    }
    Value doc;
    doc.set(kw::keys::kStoredSettings, stored);
    doc.set(kw::keys::kCurrentSetting, Value(tag));
    return doc;
}

// Which document the store holds: its CURRENT_SETTING tag, after checking it is complete.
std::string storedTag(const kw::testing::TempRoot& root, int entries)
{
    const auto doc = kw::valueFromXml(root.readFile(kStorePath));
    if (!doc) {
        return "unparsable";
    }
    const std::string tag = kw::stringValueOf(doc->get(kw::keys::kCurrentSetting));
    if (*doc != bigDocument(tag, entries)) {
        return "mixed";
    }
    return tag;
}

void commitDocument(const Value& doc)
{
    kw::KeepwallPrefs prefs;
    for (const auto& [k, v] : *doc.dictionary()) {
        prefs.takeValue(v, k);
    }
    prefs.commitChanges();
}

} // namespace

TEST(PreferenceStore, CommitWritesAWorldReadableRootOnlyFile)
{
    kw::testing::TempRoot root;
    commitDocument(bigDocument("A", 2));
    struct stat st {};
    ASSERT_EQ(::stat((root / kStorePath).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(storedTag(root, 2), "A");
}

TEST(PreferenceStore, UnreadableDocumentReadsEmptyAndIsKeptAside)
{
    kw::testing::TempRoot root;
    root.writeFile(kStorePath, "this is not a property list");
    std::vector<std::string> logged;
    kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
    {
        kw::KeepwallPrefs prefs;
        EXPECT_TRUE(prefs.storedSettings().empty());
        ASSERT_FALSE(logged.empty());
        EXPECT_NE(logged[0].find(root / kStorePath), std::string::npos) << logged[0];
        prefs.setCurrentSettingsKey("x");
        ASSERT_TRUE(prefs.commitChanges());
    }
    int kept = 0;
    for (const auto& e : fs::directory_iterator(root / "/Library/Preferences/SystemConfiguration")) {
        if (e.path().filename().string().find(".unreadable-") != std::string::npos) {
            ++kept;
            std::ifstream in(e.path());
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(text, "this is not a property list");
        }
    }
    EXPECT_EQ(kept, 1);
    kw::KeepwallPrefs reread;
    EXPECT_EQ(reread.currentSettingsKey(), "x");
}

TEST(PreferenceStore, NonDictionaryDocumentReadsEmpty)
{
    kw::testing::TempRoot root;
    root.writeFile(kStorePath, kw::valueToXml(Value(Value::Array { Value("x") })));
    kw::KeepwallPrefs prefs;
    EXPECT_TRUE(prefs.storedSettings().empty());
}

TEST(PreferenceStore, DocumentsThatAreNoPlainFileReadEmpty)
{
    struct Row {
        const char* what;
        void (*make)(const kw::testing::TempRoot& root);
        bool logged; // an unreadable document is reported; a missing one is not
    };
    const Row rows[] = {
        { "missing", [](const kw::testing::TempRoot&) {}, false },
        { "empty file", [](const kw::testing::TempRoot& root) { root.writeFile(kStorePath, ""); }, true },
        { "folder", [](const kw::testing::TempRoot& root) { fs::create_directories(root / kStorePath); }, true },
        { "truncated", [](const kw::testing::TempRoot& root) { root.writeFile(kStorePath, "<plist><dict><key>"); },
          true },
    };
    for (const auto& row : rows) {
        kw::testing::TempRoot root;
        row.make(root);
        std::vector<std::string> logged;
        kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
        kw::KeepwallPrefs prefs;
        EXPECT_TRUE(prefs.document().isDictionary()) << row.what;
        EXPECT_TRUE(prefs.storedSettings().empty()) << row.what;
        EXPECT_EQ(!logged.empty(), row.logged) << row.what;
    }
}

TEST(PreferenceStore, AnOpenedDocumentKeepsItsValuesWhenTheFileIsReplaced)
{
    kw::testing::TempRoot root;
    commitDocument(bigDocument("A", 20));
    kw::KeepwallPrefs opened;
    const Value before = opened.document();
    commitDocument(bigDocument("B", 30));
    fs::remove(root / kStorePath);
    EXPECT_EQ(opened.document(), before);
    EXPECT_EQ(opened.document(), bigDocument("A", 20));
}

TEST(PreferenceStore, CommitReplacesASymbolicLinkInsteadOfWritingThroughIt)
{
    kw::testing::TempRoot root;
    root.writeFile("/victim", "untouched");
    fs::create_directories(root / "/Library/Preferences/SystemConfiguration");
    fs::create_symlink(root / "/victim", root / kStorePath);
    commitDocument(bigDocument("A", 1));
    EXPECT_EQ(root.readFile("/victim"), "untouched");
    EXPECT_FALSE(fs::is_symlink(root / kStorePath));
}

TEST(PreferenceStore, IdentifierCannotLeaveTheStore)
{
    kw::testing::TempRoot root;
    kw::KWPreferences prefs(std::string("../../escape"));
    prefs.takeValue(Value("x"), "K");
    EXPECT_FALSE(prefs.commitChanges());
    EXPECT_FALSE(fs::exists(root / "/Library/escape.plist"));
}

TEST(PreferenceStore, KillDuringCommitLeavesOldOrNewDocument)
{
    kw::testing::TempRoot root;
    constexpr int kEntries = 3000;
    commitDocument(bigDocument("A", kEntries));
    for (int round = 0; round < 6; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (;;) {
                commitDocument(bigDocument(round % 2 ? "A" : "B", kEntries));
            }
        }
        ::usleep(20000 + round * 13000);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const std::string tag = storedTag(root, kEntries);
        EXPECT_TRUE(tag == "A" || tag == "B") << tag;
    }
}

TEST(PreferenceStore, ConcurrentCommittersNeverMix)
{
    kw::testing::TempRoot root;
    constexpr int kEntries = 500;
    commitDocument(bigDocument("A", kEntries));
    pid_t children[2];
    const char* tags[2] = { "A", "B" };
    for (int i = 0; i < 2; ++i) {
        children[i] = ::fork();
        ASSERT_GE(children[i], 0);
        if (children[i] == 0) {
            for (int n = 0; n < 40; ++n) {
                commitDocument(bigDocument(tags[i], kEntries));
            }
            ::_exit(0);
        }
    }
    int reads = 0;
    for (;;) {
        const std::string tag = storedTag(root, kEntries);
        ++reads;
        ASSERT_TRUE(tag == "A" || tag == "B") << tag;
        int status = 0;
        if (children[0] > 0 && ::waitpid(children[0], &status, WNOHANG) == children[0]) {
            children[0] = -1;
        }
        if (children[1] > 0 && ::waitpid(children[1], &status, WNOHANG) == children[1]) {
            children[1] = -1;
        }
        if (children[0] < 0 && children[1] < 0) {
            break;
        }
    }
    EXPECT_GT(reads, 0);
    const std::string last = storedTag(root, kEntries);
    EXPECT_TRUE(last == "A" || last == "B");
}

TEST(PreferenceStore, DocumentsInOtherEncodingsAreReadAndKeptThroughACommit)
{
    const std::string body = "<plist version=\"1.0\"><dict><key>CURRENT_SETTING</key><string>A</string>"
                             "<key>STORED_SETTINGS</key><dict><key>A</key><dict><key>SETTING_NAME</key>"
                             "<string>Caf\xe9</string></dict></dict></dict></plist>";
    std::string utf16;
    for (const char c : "<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + body) {
        utf16 += std::string { '\0', c };
    }
    plist_t bin = nullptr;
    {
        const std::string utf8 =
            kw::valueToXml(*kw::valueFromXml("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + body));
        plist_from_xml(utf8.data(), static_cast<uint32_t>(utf8.size()), &bin);
    }
    char* binBytes = nullptr;
    uint32_t binLength = 0;
    plist_to_bin(bin, &binBytes, &binLength);
    const std::string binary(binBytes, binLength);
    plist_to_bin_free(binBytes);
    plist_free(bin);

    const std::pair<const char*, std::string> rows[] = {
        { "ISO-8859-1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n" + body },
        { "UTF-16 with a byte-order mark", "\xfe\xff" + utf16 },
        { "UTF-8 with a byte-order mark", "\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"UTF-8\"?>" +
                                              std::string(body).replace(body.find("\xe9"), 1, "\xc3\xa9") },
        { "binary", binary },
    };
    for (const auto& [what, bytes] : rows) {
        kw::testing::TempRoot root;
        root.writeFile(kStorePath, bytes);
        {
            kw::KeepwallPrefs prefs;
            ASSERT_NE(prefs.settingForKey("A"), nullptr) << what;
            EXPECT_EQ(kw::stringValueOf(prefs.settingForKey("A")->get(kw::keys::kSettingName)), "Caf\xc3\xa9") << what;
            prefs.enableLogging(true);
            ASSERT_TRUE(prefs.commitChanges()) << what;
        }
        const std::string written = root.readFile(kStorePath);
        EXPECT_NE(written.find("<string>Caf\xc3\xa9</string>"), std::string::npos) << what << written;
        kw::KeepwallPrefs reread;
        EXPECT_EQ(reread.currentSettingsKey(), "A") << what;
        EXPECT_EQ(reread.storedSettings().size(), 1u) << what;
    }
}

TEST(PreferenceStore, OnlyARegularFileOfSaneSizeIsRead)
{
    struct Row {
        const char* what;
        void (*make)(const std::string& path);
        const char* logged;
    };
    const Row rows[] = {
        { "FIFO", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0); }, "not a regular file" },
        { "device", [](const std::string& path) { fs::create_symlink("/dev/zero", path); }, "not a regular file" },
        { "huge file", [](const std::string& path) { fs::resize_file((std::ofstream(path), path), 3ULL << 30); },
          "larger than" },
    };
    for (const auto& row : rows) {
        kw::testing::TempRoot root;
        fs::create_directories(root / "/Library/Preferences/SystemConfiguration");
        row.make(root / kStorePath);
        // Reading happens in a child that an alarm ends, so that a hang fails the test.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::alarm(20);
            std::string logged;
            kw::LogCapture capture([&](const std::string& l) { logged += l + "\n"; });
            kw::KeepwallPrefs prefs;
            const bool refused = prefs.storedSettings().empty() && logged.find(row.logged) != std::string::npos;
            ::_exit(refused ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << row.what << " status " << status;
    }
}

TEST(PreferenceStore, ACommitRemovesStaleTemporaryFiles)
{
    kw::testing::TempRoot root;
    const std::string folder = "/Library/Preferences/SystemConfiguration/";
    // What a commit killed between writing and renaming leaves behind.
    root.writeFile(folder + ".com.wallworks.keepwall.plist.Ab12Cd", "partial");
    root.writeFile(folder + ".com.wallworks.keepwall.plist.zz99YY", "partial");
    root.writeFile(folder + ".preferences.plist.Ab12Cd", "another document's");
    root.writeFile(folder + "com.wallworks.keepwall.plist.Ab12Cd", "not a temporary name");
    commitDocument(bigDocument("A", 1));
    EXPECT_FALSE(fs::exists(root / (folder + ".com.wallworks.keepwall.plist.Ab12Cd")));
    EXPECT_FALSE(fs::exists(root / (folder + ".com.wallworks.keepwall.plist.zz99YY")));
    EXPECT_TRUE(fs::exists(root / (folder + ".preferences.plist.Ab12Cd")));
    EXPECT_TRUE(fs::exists(root / (folder + "com.wallworks.keepwall.plist.Ab12Cd")));
    EXPECT_EQ(storedTag(root, 1), "A");
}

TEST(PreferenceStore, ValuesSurviveACommit)
{
    kw::testing::TempRoot root;
    root.writeFile(kStorePath, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                               "<key>BIG</key><integer>18446744073709551615</integer>"
                               "<key>WHEN</key><date>2004-05-06T07:08:09Z</date>"
                               "</dict></plist>");
    {
        kw::KeepwallPrefs prefs;
        prefs.setCurrentSettingsKey("A");
        ASSERT_TRUE(prefs.commitChanges());
    }
    const std::string written = root.readFile(kStorePath);
    EXPECT_NE(written.find("<integer>18446744073709551615</integer>"), std::string::npos) << written;
    EXPECT_NE(written.find("<date>2004-05-06T07:08:09Z</date>"), std::string::npos) << written;
}

TEST(PreferenceStore, TextXmlCannotHoldIsNeverCommitted)
{
    kw::testing::TempRoot root;
    commitDocument(bigDocument("A", 1));
    std::vector<std::string> logged;
    kw::LogCapture capture([&](const std::string& l) { logged.push_back(l); });
    kw::KeepwallPrefs prefs;
    prefs.takeValue(Value("bell\x07"), kw::keys::kDefaultConfiguration);
    EXPECT_FALSE(prefs.commitChanges());
    EXPECT_EQ(storedTag(root, 1), "A");
    bool named = false;
    for (const auto& l : logged) {
        named = named || l.find("DEFAULT_CONFIGURATION") != std::string::npos;
    }
    EXPECT_TRUE(named);
}
