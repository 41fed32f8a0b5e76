// The mail job record and its address-list parser.
#include "email.h"

#include <gtest/gtest.h>

namespace {

TEST(EmailRecord, NewJobHoldsDefaults) {
    const Email job;
    EXPECT_EQ(job.getServerPortInt(), 25);
    EXPECT_FALSE(job.isVerbose());
    EXPECT_TRUE(job.getToList().empty());
    EXPECT_TRUE(job.getAttachmentList().empty());
    for (const std::string* field :
         {&job.getConfigFile(), &job.getRawFile(), &job.getWorkingDir(), &job.getServerName(),
          &job.getServerPort(), &job.getFromAddress(), &job.getSubject(), &job.getMessageText(),
          &job.getMessageFile(), &job.getHeloName(), &job.getAuth()}) {
        EXPECT_EQ(*field, "");
    }
}

TEST(EmailRecord, ResetKeepsOnlyTheWorkingDirectory) {
    Email job;
    job.setWorkingDir("/srv/");
    job.setSubject("s");
    job.setServerName("relay");
    job.setToList("a@x");
    job.setAttachmentList({"f"});
    job.setVerbose(true);
    job.reset();
    EXPECT_EQ(job.getWorkingDir(), "/srv/");
    EXPECT_EQ(job.getSubject(), "");
    EXPECT_EQ(job.getServerName(), "");
    EXPECT_TRUE(job.getToList().empty());
    EXPECT_TRUE(job.getAttachmentList().empty());
    EXPECT_FALSE(job.isVerbose());
}

TEST(EmailRecord, SetServerPortLeavesThePortNumber) {
    Email job;
    job.setServerPort("2525");
    EXPECT_EQ(job.getServerPort(), "2525");
    EXPECT_EQ(job.getServerPortInt(), 25);
}

struct ListCase {
    const char* text;
    StringList expected;
};

class RecipientList : public testing::TestWithParam<ListCase> {};

TEST_P(RecipientList, SplitsAtCommasAndBracketsEveryEntry) {
    Email job;
    job.setToList(GetParam().text);
    EXPECT_EQ(job.getToList(), GetParam().expected) << "text: [" << GetParam().text << "]";
}

INSTANTIATE_TEST_SUITE_P(
    ParseList, RecipientList,
    testing::Values(ListCase{"", {}}, ListCase{"a@x", {"<a@x>"}},
                    ListCase{"  a@x ,  b@y  ", {"<a@x>", "<b@y>"}}, ListCase{"\ta@x", {"<\ta@x>"}},
                    ListCase{"a@x,,b@y", {"<a@x>", "<>", "<b@y>"}}, ListCase{"a@x,", {"<a@x>"}},
                    ListCase{",a@x", {"<>", "<a@x>"}}, ListCase{"<a@x>", {"<<a@x>>"}},
                    ListCase{"a@x;b@y", {"<a@x;b@y>"}}, ListCase{"a@x, a@x", {"<a@x>", "<a@x>"}},
                    ListCase{"   ", {"<>"}}, ListCase{"a, ,b", {"<a>", "<>", "<b>"}},
                    ListCase{",", {"<>"}}, ListCase{"x", {"<x>"}},
                    ListCase{"a b , c", {"<a b>", "<c>"}}));

TEST(RecipientList, SecondCallReplacesTheFirst) {
    Email job;
    job.setToList("a@x, b@y");
    job.setToList("c@z");
    EXPECT_EQ(job.getToList(), StringList{"<c@z>"});
}

} // namespace
