#include "ExclusionRules.h"

#include <gtest/gtest.h>

using Kind = ExclusionRules::Kind;

TEST(ExclusionRulesTest, EachKindOfRuleIsNamedWithWhatMatchedInTheDaemonsOrder) {
    const QSet<QString> folders{QStringLiteral("/home/joe/Music")};
    const QSet<QString> timeMachine{QStringLiteral("/Volumes/tm")};
    const QList<QByteArray> patterns =
        ExclusionRules::cleanPatterns({QStringLiteral(" *.iso "), QStringLiteral("*.iso")});
    ASSERT_EQ(patterns, QList<QByteArray>{"*.iso"});

    ExclusionRules::Match m =
        ExclusionRules::evaluate(QStringLiteral("/home/joe/a.tmp"), folders, timeMachine, patterns);
    EXPECT_EQ(m.kind, Kind::BuiltIn);
    EXPECT_EQ(m.builtInRule, 5);
    EXPECT_EQ(m.rule, QStringLiteral("paths ending in \u201c.tmp\u201d"));
    // A fixed rule wins over a list: the same order as the daemon asks them.
    m = ExclusionRules::evaluate(QStringLiteral("/home/joe/Music/x.tmp"), folders, timeMachine, patterns);
    EXPECT_EQ(m.kind, Kind::BuiltIn);
    m = ExclusionRules::evaluate(QStringLiteral("/home/joe/Music/disc.iso"), folders, timeMachine, patterns);
    EXPECT_EQ(m.kind, Kind::FolderList);
    EXPECT_EQ(m.rule, QStringLiteral("/home/joe/Music"));
    m = ExclusionRules::evaluate(QStringLiteral("/Volumes/tm/Backups.backupdb"), folders, timeMachine,
                                 patterns);
    EXPECT_EQ(m.kind, Kind::TimeMachine);
    m = ExclusionRules::evaluate(QStringLiteral("/home/joe/disc.iso"), folders, timeMachine, patterns);
    EXPECT_EQ(m.kind, Kind::NamePattern);
    EXPECT_EQ(m.rule, QStringLiteral("*.iso"));
    m = ExclusionRules::evaluate(QStringLiteral("/home/joe/disc.iso.txt"), folders, timeMachine, patterns);
    EXPECT_FALSE(m);
    // "/" is the last fixed rule.
    EXPECT_EQ(ExclusionRules::evaluate(QStringLiteral("/"), {}, {}, {}).kind, Kind::BuiltIn);
}

TEST(ExclusionRulesTest, PatternsThatCannotMatchANameAreLeftOutAndNamed) {
    QStringList ignored;
    const QList<QByteArray> patterns = ExclusionRules::cleanPatterns(
        {QStringLiteral("a/b"), QString(), QStringLiteral("x\ny"), QStringLiteral("*.bak")}, &ignored);
    EXPECT_EQ(patterns, QList<QByteArray>{"*.bak"});
    EXPECT_EQ(ignored, (QStringList{"a/b", "x\ny"}));
    EXPECT_EQ(ExclusionRules::builtInRuleText(0), QString());
    EXPECT_EQ(ExclusionRules::builtInRuleText(13), QStringLiteral("paths ending in \u201cIcon\\r\u201d"));
    for (int rule = 1; rule <= 38; ++rule)
        EXPECT_FALSE(ExclusionRules::builtInRuleText(rule).isEmpty()) << rule;
}
