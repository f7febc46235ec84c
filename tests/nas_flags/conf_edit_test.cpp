// Editing the NAS configuration: which lines are a disk's flag, the lock
// file's name, and the rewrite of a file that changes meanwhile or stands
// behind a link.
#include "nas_flags/conf_edit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "collector/nas_conf.h"
#include "core/paths.h"
#include "core/strbuf.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_nas.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kKey[] = "pd_err_wwn_5000c500a1b2c3d4";

std::string drop(const std::string& text, const char* key, int* dropped) {
    StrBuf out;
    *dropped = conf_drop_key_lines(text.data(), text.size(), key, &out);
    EXPECT_NE(out.data, nullptr);
    return std::string(out.c_str(), out.len);
}

TEST(ConfDropKeyLines, EveryLineOfTheDisksFlagAndNothingElse) {
    const std::string kOthers =
        "pd_err_wwn_5000c500a1b2c3d5 = 1\npd_dev_wwn_5000c500a1b2c3d4 = 3\n"
        "# pd_err_wwn_5000c500a1b2c3d4 = 1\n;pd_err_wwn_5000c500a1b2c3d4=1\n"
        "note = pd_err_wwn_5000c500a1b2c3d4\npd_err_wwn_5000c500a1b2c3d4x = 1\n";
    struct Case {
        const char* name;
        std::string text;
        std::string want;
        int dropped;
    } cases[] = {
        {"both duplicates",
         "a=1\npd_err_wwn_5000c500a1b2c3d4 = 1\nb=2\npd_err_wwn_5000c500a1b2c3d4=2\n", "a=1\nb=2\n",
         2},
        {"any letter case of the key",
         "PD_ERR_WWN_5000C500A1B2C3D4 = 1\nPd_Err_Wwn_5000c500A1B2c3d4=1\n", "", 2},
        {"the same WWN written with a prefix",
         "pd_err_wwn_naa.5000C500A1B2C3D4 = 1\npd_err_wwn_0x5000c500a1b2c3d4 = 1\nx=1\n", "x=1\n",
         2},
        {"CRLF lines keep their ends", "[Disk]\r\n  pd_err_wwn_5000c500a1b2c3d4 \t= 1\r\nz=1\r\n",
         "[Disk]\r\nz=1\r\n", 1},
        {"a last line without newline", "a=1\npd_err_wwn_5000c500a1b2c3d4 = 1", "a=1\n", 1},
        {"a kept last line stays without newline", "pd_err_wwn_5000c500a1b2c3d4 = 1\na=1", "a=1",
         1},
        {"other disks, device ids, comments and values stay", kOthers, kOthers, 0},
        {"binary bytes pass through", "\xff\x01=\x02\npd_err_wwn_5000c500a1b2c3d4=1\n\x7f\x80\n",
         "\xff\x01=\x02\n\x7f\x80\n", 1},
        {"empty text", "", "", 0},
    };
    for (const Case& c : cases) {
        int dropped = -1;
        EXPECT_EQ(drop(c.text, kKey, &dropped), c.want) << c.name;
        EXPECT_EQ(dropped, c.dropped) << c.name;
    }
}

TEST(ConfHasFlagKey, FlaggedClearAndUnreadable) {
    TempDir dir;
    const std::string path = dir.path() + "/conf";
    write_file(path, "a=1\nPD_ERR_WWN_5000C500A1B2C3D4 = 1\n");
    EXPECT_EQ(conf_has_flag_key(path.c_str(), kKey), 1);
    write_file(path, "a=1\npd_err_wwn_5000c500a1b2c3d5 = 1\n");
    EXPECT_EQ(conf_has_flag_key(path.c_str(), kKey), 0);
    write_file(path, "");
    EXPECT_EQ(conf_has_flag_key(path.c_str(), kKey), 0);
    // A file that cannot be read says nothing about the flag.
    write_file(path, std::string(kNasConfReadMax + 1, '\n'));
    EXPECT_EQ(conf_has_flag_key(path.c_str(), kKey), -1);
    EXPECT_EQ(conf_has_flag_key((dir.path() + "/missing").c_str(), kKey), -1);
}

TEST(ConfLockPath, Base64OfThePathInTheLockFolder) {
    char field[kConfLockSize];
    ASSERT_EQ(conf_lock_path("/mnt/HDA_ROOT/.conf", field, sizeof field), 1);
    EXPECT_STREQ(field, "/var/lock/INI_L21udC9IREFfUk9PVC8uY29uZg==.lck");
    ASSERT_EQ(conf_lock_path_in("/x", "/mnt/HDA_ROOT/.conf~", field, sizeof field), 1);
    EXPECT_STREQ(field, "/x/INI_L21udC9IREFfUk9PVC8uY29uZn4=.lck");

    // A "/" in the base64 text cannot be a file name in the lock folder.
    EXPECT_EQ(conf_lock_path("/a???", field, sizeof field), 0);
    EXPECT_STREQ(field, "");
    // 765 bytes need 1020 characters, 766 need 1024.
    char big[2048];
    EXPECT_EQ(conf_lock_path_in("/l", ("/" + std::string(764, 'a')).c_str(), big, sizeof big), 1);
    EXPECT_EQ(conf_lock_path_in("/l", ("/" + std::string(765, 'a')).c_str(), big, sizeof big), 0);
    // The result must fit the field whole.
    EXPECT_EQ(conf_lock_path("/mnt/HDA_ROOT/.conf", field, 46), 0);
    EXPECT_STREQ(field, "");
    EXPECT_EQ(conf_lock_path("/mnt/HDA_ROOT/.conf", field, 47), 1);
}

// A configuration file in a folder of its own, and a lock folder and the
// data folder beside it.
class Rewrite : public ::testing::Test {
   protected:
    void SetUp() override {
        paths_init((dir_.path() + "/pkg").c_str());
        make_dirs(g_var_dir);
        make_dirs(conf_dir());
        make_dirs(lock_dir());
        write_file(conf(), kText);
    }
    std::string conf_dir() const { return dir_.path() + "/mnt/HDA_ROOT"; }
    std::string conf() const { return conf_dir() + "/.conf"; }
    std::string lock_dir() const { return dir_.path() + "/lock"; }
    std::string lock_of(const std::string& path) const {
        char field[kConfLockSize];
        EXPECT_EQ(conf_lock_path_in(lock_dir().c_str(), path.c_str(), field, sizeof field), 1);
        return field;
    }
    int rewrite(const std::string& path, const ConfRewriteHooks* hooks = nullptr) {
        return conf_rewrite_without(path.c_str(), kKey, lock_dir().c_str(), &r_, hooks);
    }
    // Names in a folder that the rewrite may have left behind.
    static std::vector<std::string> leftovers(const std::string& dir) {
        std::vector<std::string> names = dir_names(dir);
        std::erase_if(names,
                      [](const std::string& n) { return n.rfind(".conf.corvantis.", 0) != 0; });
        return names;
    }

    static constexpr char kText[] =
        "[Disk]\npd_err_wwn_5000c500a1b2c3d4 = 1\npd_dev_wwn_5000c500a1b2c3d4 = 3\n";
    static constexpr char kCleared[] = "[Disk]\npd_dev_wwn_5000c500a1b2c3d4 = 3\n";
    TempDir dir_;
    ConfRewrite r_{};
    FakeClock clock_;
};

TEST_F(Rewrite, ALinkedConfigurationIsRewrittenAtItsTarget) {
    const std::string real_dir = dir_.path() + "/real";
    const std::string real = real_dir + "/conf.ini";
    write_file(real, kText, 0640);
    ASSERT_EQ(::chown(real.c_str(), 1234, 5678), 0);
    ASSERT_EQ(::unlink(conf().c_str()), 0);
    ASSERT_EQ(::symlink("../../real/conf.ini", conf().c_str()), 0);

    ASSERT_EQ(rewrite(conf()), kRewriteDone) << r_.detail;
    struct stat st {};
    ASSERT_EQ(::lstat(conf().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(real), kCleared);
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    // The lock is the one the NAS's tools take for the real file.
    EXPECT_EQ(std::string(r_.conf_lock), lock_of(real));
    EXPECT_EQ(::access(r_.conf_lock, F_OK), 0);
    EXPECT_EQ(r_.conf_retries, 0);
    EXPECT_TRUE(leftovers(real_dir).empty());
    EXPECT_TRUE(clock_.sleeps().empty());
}

TEST_F(Rewrite, ALockFileThatCannotBeOpenedMeansNoLockAtOnce) {
    ASSERT_EQ(::rmdir(lock_dir().c_str()), 0);
    ASSERT_EQ(rewrite(conf()), kRewriteDone) << r_.detail;
    EXPECT_STREQ(r_.conf_lock, "");
    EXPECT_TRUE(clock_.sleeps().empty());
    EXPECT_EQ(read_file(conf()), kCleared);
}

struct Edits {
    std::string path;
    int left;  // edits still to make
    int calls = 0;
};

// Another writer that ignores the lock edits the file while ours is written.
void edit_file(void* arg) {
    auto* e = static_cast<Edits*>(arg);
    ++e->calls;
    if (e->left-- <= 0) return;
    write_file(e->path, read_file(e->path) + "edit" + std::to_string(e->calls) + " = 1\n");
}

// A file changed once is read again and the edit kept; one that keeps
// changing is left as it is after four attempts.
TEST_F(Rewrite, AFileChangedMeanwhileIsReadAgain) {
    for (int left : {1, 100}) {
        write_file(conf(), kText);
        Edits edits{conf(), left};
        const ConfRewriteHooks hooks{edit_file, &edits};
        const int outcome = rewrite(conf(), &hooks);
        if (left == 1) {
            EXPECT_EQ(outcome, kRewriteDone) << r_.detail;
            EXPECT_EQ(r_.conf_retries, 1);
            EXPECT_EQ(read_file(conf()), std::string(kCleared) + "edit1 = 1\n");
        } else {
            EXPECT_EQ(outcome, kRewriteFailed);
            EXPECT_STREQ(r_.detail, "conf_changing: the file changed during 4 rewrite attempts");
            EXPECT_EQ(r_.conf_retries, 3);
            EXPECT_EQ(edits.calls, 4);
            EXPECT_EQ(read_file(conf()),
                      std::string(kText) + "edit1 = 1\nedit2 = 1\nedit3 = 1\nedit4 = 1\n");
        }
        EXPECT_TRUE(leftovers(conf_dir()).empty());
    }
}

TEST_F(Rewrite, NothingToDropAndFilesThatCannotBeRead) {
    write_file(conf(), kCleared);
    struct stat before {};
    ASSERT_EQ(::stat(conf().c_str(), &before), 0);
    EXPECT_EQ(rewrite(conf()), kRewriteNothingToDrop);
    struct stat after {};
    ASSERT_EQ(::stat(conf().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    EXPECT_EQ(rewrite(conf_dir() + "/missing"), kRewriteFailed);
    EXPECT_STREQ(r_.detail, "stat: No such file or directory");
    EXPECT_EQ(std::string(r_.conf_lock), lock_of(conf_dir() + "/missing"));
    write_file(conf(), std::string(kText) + std::string(kNasConfReadMax, '#'));
    EXPECT_EQ(rewrite(conf()), kRewriteFailed);
    EXPECT_STREQ(r_.detail, "read: File too large");
    EXPECT_TRUE(leftovers(conf_dir()).empty());
}

}  // namespace
