#include "RsyncArguments.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Args = std::vector<std::string>;
const std::string kMarker = "<M> ";

bool has(const Args& args, const std::string& value) {
    return std::find(args.begin(), args.end(), value) != args.end();
}

// What follows "--": the operands as rsync gets them.
Args operandsOf(const Args& args) {
    const auto dashes = std::find(args.begin(), args.end(), "--");
    return dashes == args.end() ? Args() : Args(dashes + 1, args.end());
}

} // namespace

TEST(RsyncArguments, DaemonBackupLineBecomesAnUploadFedFromStandardInput) {
    const auto parsed = RsyncArguments::parse({"--progress", "--dirs", "--recursive", "-v",
                                               "--password-file=/etc/passwd.secrets",
                                               "--files-from=/var/lib/ZorvikHollin/Operation/syncUp/SourceA",
                                               "/", "alice@127.0.0.5::\"backup/alice/Mac\""},
                                              nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->mode(), RsyncArguments::Mode::Upload);
    EXPECT_EQ(*parsed->filesFrom(), "/var/lib/ZorvikHollin/Operation/syncUp/SourceA");
    const Args out = parsed->rsyncArguments(kMarker);
    EXPECT_TRUE(has(out, "--password-file=/etc/passwd.secrets"));
    EXPECT_TRUE(has(out, "--files-from=-"));
    EXPECT_TRUE(has(out, "--from0"));
    EXPECT_TRUE(has(out, "--dirs"));
    EXPECT_TRUE(has(out, "--recursive"));
    EXPECT_TRUE(has(out, "-v"));
    EXPECT_TRUE(has(out, "--8-bit-output"));
    EXPECT_TRUE(has(out, "--out-format=<M> %i %l %b %n"));
    EXPECT_FALSE(has(out, "--progress")) << "an upload reports files through its own lines";
    EXPECT_EQ(operandsOf(out), (Args{"/", "alice@127.0.0.5::backup/alice/Mac"}));
}

TEST(RsyncArguments, QuotedPasswordFileAndFileListLoseTheirQuotes) {
    const auto parsed = RsyncArguments::parse(
        {"--password-file=\"/home/a b/.etc\"", "--files-from=\"/tmp/my list\"", "/", "u@h::\"backup/u/M\""},
        nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed->filesFrom(), "/tmp/my list");
    EXPECT_TRUE(has(parsed->rsyncArguments(kMarker), "--password-file=/home/a b/.etc"));
}

TEST(RsyncArguments, OptionValuesMayComeAsTheNextArgument) {
    const auto parsed = RsyncArguments::parse(
        {"--password-file", "/p", "--files-from", "\"/l\"", "-e", "ssh", "/", "u@h::x"}, nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed->filesFrom(), "/l");
    const Args out = parsed->rsyncArguments(kMarker);
    EXPECT_TRUE(has(out, "--password-file=/p"));
    EXPECT_TRUE(has(out, "ssh"));
    EXPECT_EQ(operandsOf(out), (Args{"/", "u@h::x"}));
}

TEST(RsyncArguments, RestoreIsADownloadWithProgressAndALiteralSourcePath) {
    const auto parsed = RsyncArguments::parse(
        {"--progress", "--recursive", "--password-file=\"/home/u/.etc\"",
         "u@127.0.0.5::\"backup/.zfs/snapshot/auto-20240101.1200-2w/u/Docs/a[1]*?.txt\"",
         "/home/u/Downloads"},
        nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->mode(), RsyncArguments::Mode::Download);
    EXPECT_TRUE(parsed->progress());
    const Args out = parsed->rsyncArguments(kMarker);
    EXPECT_TRUE(has(out, "--progress"));
    EXPECT_TRUE(has(out, "--out-format=<M> %i %l %n"));
    EXPECT_FALSE(has(out, "--from0"));
    EXPECT_EQ(operandsOf(out),
              (Args{"u@127.0.0.5::backup/.zfs/snapshot/auto-20240101.1200-2w/u/Docs/a\\[1]\\*\\?.txt",
                    "/home/u/Downloads"}));
}

TEST(RsyncArguments, ABackslashIsEscapedOnlyInAPathTheDaemonWouldExpand) {
    EXPECT_EQ(RsyncArguments::remoteOperand("u@h::\"backup/a\\b\"", true), "u@h::backup/a\\b");
    EXPECT_EQ(RsyncArguments::remoteOperand("u@h::\"backup/a\\b*\"", true), "u@h::backup/a\\\\b\\*");
    // Where files are sent to, the path is not expanded.
    EXPECT_EQ(RsyncArguments::remoteOperand("u@h::\"backup/a*\"", false), "u@h::backup/a*");
}

TEST(RsyncArguments, ListingKeepsItsOptionsAndUnquotesTheModulePath) {
    const auto parsed =
        RsyncArguments::parse({"--list-only", "--password-file=/etc/initialListingPasswd.secrets",
                               "alice@10.0.0.2::\"backup/alice/\""},
                              nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->mode(), RsyncArguments::Mode::List);
    const Args out = parsed->rsyncArguments(kMarker);
    EXPECT_TRUE(has(out, "--list-only"));
    EXPECT_EQ(std::count_if(out.begin(), out.end(),
                            [](const std::string& a) { return a.rfind("--out-format", 0) == 0; }),
              0);
    EXPECT_EQ(operandsOf(out), (Args{"alice@10.0.0.2::backup/alice/"}));
}

TEST(RsyncArguments, UnquotedRemotePathAndOddLocalNamesStayAsTheyAre) {
    const std::string odd = "/tmp/a \"b\" $(touch x)\n\xff";
    const auto parsed = RsyncArguments::parse({"u@h::backup/u/", odd}, nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(operandsOf(parsed->rsyncArguments(kMarker)), (Args{"u@h::backup/u/", odd}));
    // A quoted absolute local folder is unquoted, as the shell form would have done.
    const auto quoted = RsyncArguments::parse({"u@h::backup/u/x", "\"/home/u/Down loads\""}, nullptr);
    ASSERT_TRUE(quoted);
    EXPECT_EQ(quoted->operands().back(), "/home/u/Down loads");
}

TEST(RsyncArguments, RemoteOperandsAreRecognisedAsRsyncDoes) {
    EXPECT_TRUE(RsyncArguments::isRemote("u@h::backup"));
    EXPECT_TRUE(RsyncArguments::isRemote("rsync://h/backup"));
    EXPECT_FALSE(RsyncArguments::isRemote("/home/a::b"));
    EXPECT_FALSE(RsyncArguments::isRemote("::x"));
    EXPECT_FALSE(RsyncArguments::isRemote("plain"));
}

TEST(RsyncArguments, BadCommandLinesAreRefusedWithAReason) {
    std::string why;
    EXPECT_FALSE(RsyncArguments::parse({"--progress"}, &why));
    EXPECT_NE(why.find("no source"), std::string::npos);
    EXPECT_FALSE(RsyncArguments::parse({"/", "u@h::x", "--password-file"}, &why));
    EXPECT_NE(why.find("--password-file"), std::string::npos);
    EXPECT_FALSE(RsyncArguments::parse({"/", "u@h::x", "-e"}, &why));
}

TEST(RsyncArguments, OperandsAfterDoubleDashAreNeverOptions) {
    const auto parsed = RsyncArguments::parse({"--", "-odd", "u@h::x"}, nullptr);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->mode(), RsyncArguments::Mode::Upload);
    EXPECT_EQ(operandsOf(parsed->rsyncArguments(kMarker)), (Args{"-odd", "u@h::x"}));
}
