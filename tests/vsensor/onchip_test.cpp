// onchip_test.cpp - match-on-chip enrollment, the template store and its state file, search, deletion.
#include "vs_fixture.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace {

struct Records {
    unsigned char user[100] = {};
    unsigned char finger[100] = {};
    Records(int uid, int index, const char *tag = "zuvo")
    {
        for (int k = 0; k < 4; ++k)
            user[k] = static_cast<unsigned char>(uid >> (8 * k));
        finger[0] = static_cast<unsigned char>(index);
        finger[55] = static_cast<unsigned char>(std::strlen(tag));
        std::memcpy(finger + 56, tag, std::strlen(tag));
    }
};

std::string file_text(const std::string &path)
{
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

}  // namespace

class OnChip : public VirtualSensor {
protected:
    void SetUp() override
    {
        VirtualSensor::SetUp();
        state_file = (dir / "store").string();
        load("[Sensor]\nWorkMode=chip\nCapacity=5\nStateFile=" + state_file + "\n");
        h = open();
    }

    // Six presses, each at a new spot, then the store.
    int enroll(const char *name, int uid, int index, const char *tag = "zuvo")
    {
        for (int step = 1; step <= 6; ++step) {
            kelvs_finger_press(name, KELVS_CONTACT_FULL);
            int rc = KELFPSCAN_EnrollForOS(h, static_cast<unsigned char>(step));
            if (rc != KELFPSCAN_ENROLL_ACCEPTED)
                return 1000 + rc;
        }
        kelvs_finger_lift();
        Records r(uid, index, tag);
        return KELFPSCAN_StoreTemplateForOS(h, r.user, r.finger);
    }

    // One search attempt with the finger pressed: the busy answer, then the answer.
    int search(const char *name, int uid, int &matched)
    {
        Records r(uid, 0);
        unsigned char res = 0;
        unsigned score = 0;
        kelvs_finger_lift();
        EXPECT_EQ(KELFPSCAN_SearchForOS(h, r.user, &res, &matched, &score), KELFPSCAN_SEARCH_BUSY);
        // Nothing on the sensor yet: not yet, not busy and not an answer.
        EXPECT_EQ(KELFPSCAN_SearchForOS(h, r.user, &res, &matched, &score), 1);
        kelvs_finger_press(name, KELVS_CONTACT_FULL);
        return KELFPSCAN_SearchForOS(h, r.user, &res, &matched, &score);
    }

    std::string state_file;
    KELFPSCAN_HANDLE h = nullptr;
};

TEST_F(OnChip, EnrolledFingerIsFoundWithItsIndex)
{
    ASSERT_EQ(enroll("alice", 1000, 3), 0);
    ASSERT_EQ(enroll("bob", 1001, 1), 0);
    EXPECT_EQ(kelvs_store_count(), 2);
    EXPECT_EQ(kelvs_store_has(1000, 3), 1);
    EXPECT_EQ(kelvs_store_has(1000, 1), 0);

    int matched = -1;
    EXPECT_EQ(search("alice", 1000, matched), KELFPSCAN_SEARCH_MATCH);
    EXPECT_EQ(matched, 3);
    EXPECT_EQ(search("carol", 1000, matched), KELFPSCAN_SEARCH_NO_MATCH);
    // Only the user's own templates take part, unless the user record stands for every user.
    EXPECT_EQ(search("bob", 1000, matched), KELFPSCAN_SEARCH_NO_MATCH);
    matched = -1;
    EXPECT_EQ(search("bob", -1, matched), KELFPSCAN_SEARCH_MATCH);
    EXPECT_EQ(matched, 1);
    EXPECT_EQ(search("bob", 1001, matched), KELFPSCAN_SEARCH_MATCH);

    // A smear is imaged but matches nothing; partial contact is not imaged yet.
    Records r(1000, 0);
    unsigned char res;
    unsigned score;
    kelvs_finger_press("alice", KELVS_CONTACT_PARTIAL);
    EXPECT_EQ(KELFPSCAN_SearchForOS(h, r.user, &res, &matched, &score), KELFPSCAN_SEARCH_BUSY);
    EXPECT_EQ(KELFPSCAN_SearchForOS(h, r.user, &res, &matched, &score), 1);
    kelvs_finger_press("alice", KELVS_CONTACT_SMEARED);
    EXPECT_EQ(KELFPSCAN_SearchForOS(h, r.user, &res, &matched, &score), KELFPSCAN_SEARCH_NO_MATCH);
    // ResetIdentifyCntForOS starts a new attempt.
    EXPECT_EQ(KELFPSCAN_SearchForOS(h, r.user, &res, &matched, &score), KELFPSCAN_SEARCH_BUSY);
    EXPECT_EQ(KELFPSCAN_ResetIdentifyCntForOS(h, 4), 0);
    EXPECT_EQ(KELFPSCAN_SearchForOS(h, r.user, &res, &matched, &score), KELFPSCAN_SEARCH_BUSY);
}

TEST_F(OnChip, EnrollmentStepsAnswerForWhatLiesOnTheSensor)
{
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 1), KELFPSCAN_ENROLL_NOT_FINISHED);
    kelvs_finger_press("alice", KELVS_CONTACT_PARTIAL);
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 1), KELFPSCAN_ENROLL_POOR_IMAGE_A);
    kelvs_finger_press("alice", KELVS_CONTACT_SMEARED);
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 1), KELFPSCAN_ENROLL_POOR_IMAGE_B);
    kelvs_finger_press("alice", KELVS_CONTACT_FULL);
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 1), KELFPSCAN_ENROLL_ACCEPTED);
    // The finger was not moved: the same spot again.
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 2), KELFPSCAN_ENROLL_OVERLAP);
    kelvs_finger_press("alice", KELVS_CONTACT_FULL);
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 2), KELFPSCAN_ENROLL_ACCEPTED);

    // Storing needs six accepted steps.
    Records r(7, 0);
    EXPECT_EQ(KELFPSCAN_StoreTemplateForOS(h, r.user, r.finger), KELVS_ERR_ENROLL_INCOMPLETE);
    EXPECT_EQ(kelvs_store_count(), 0);

    // Step 1 again starts over.
    kelvs_finger_press("alice", KELVS_CONTACT_FULL);
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 1), KELFPSCAN_ENROLL_ACCEPTED);
    for (int step = 2; step <= 6; ++step) {
        kelvs_finger_press("alice", KELVS_CONTACT_FULL);
        ASSERT_EQ(KELFPSCAN_EnrollForOS(h, static_cast<unsigned char>(step)), KELFPSCAN_ENROLL_ACCEPTED) << step;
    }
    EXPECT_EQ(KELFPSCAN_StoreTemplateForOS(h, r.user, r.finger), 0);

    // A stored finger is recognised at its first step.
    kelvs_finger_press("alice", KELVS_CONTACT_FULL);
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 1), KELFPSCAN_ENROLL_ALREADY_STORED);
    EXPECT_EQ(enroll("alice", 8, 0), 1000 + KELFPSCAN_ENROLL_ALREADY_STORED);
}

TEST_F(OnChip, TheAutoFingerEnrollsAndTheSensorGivesUpWithoutOne)
{
    // The timeline's presses land at new spots each time, so one step per press is accepted.
    load("[Sensor]\nWorkMode=chip\nStateFile=" + state_file + "\n[Finger]\nName=gina\nStartMs=0\n");
    // Each step images 30 ms after it is called; one cycle of the timeline is 2400 ms.
    for (int step = 1; step <= 6; ++step) {
        clock.advance_ms(200);  // imaged at 230 ms into the cycle: pressed
        EXPECT_EQ(KELFPSCAN_EnrollForOS(h, static_cast<unsigned char>(step)), KELFPSCAN_ENROLL_ACCEPTED) << step;
        clock.advance_ms(1150);  // imaged at 1410 ms: leaving
        EXPECT_EQ(KELFPSCAN_EnrollForOS(h, static_cast<unsigned char>(step + 1)), KELFPSCAN_ENROLL_POOR_IMAGE_C);
        clock.advance_ms(990);  // the next cycle begins
    }
    Records r(5, 2);
    EXPECT_EQ(KELFPSCAN_StoreTemplateForOS(h, r.user, r.finger), 0);

    // Without a finger the sensor keeps answering "not finished" and gives up after EnrollGiveUpMs.
    load("[Sensor]\nWorkMode=chip\nCaptureMs=50\nEnrollGiveUpMs=1000\n");
    int calls = 0, rc = KELFPSCAN_ENROLL_NOT_FINISHED;
    while (rc == KELFPSCAN_ENROLL_NOT_FINISHED && calls < 1000) {
        rc = KELFPSCAN_EnrollForOS(h, 1);
        ++calls;
    }
    EXPECT_EQ(rc, KELFPSCAN_ENROLL_GAVE_UP);
    EXPECT_EQ(calls, 21) << "the first call starts the wait; 20 captures of 50 ms later it is over";
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 1), KELFPSCAN_ENROLL_NOT_FINISHED) << "a new wait begins";
}

TEST_F(OnChip, StoreIsFullAtCapacityButReenrollingAnIndexReplacesIt)
{
    const char *names[] = {"f0", "f1", "f2", "f3", "f4", "f5"};
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(enroll(names[i], 1, i), 0) << i;
    EXPECT_EQ(enroll(names[5], 1, 5), KELFPSCAN_STORE_FULL);
    EXPECT_EQ(kelvs_store_count(), 5);
    // Deleting f2 frees its slot and lets f2 (and then f5 in its place) be enrolled again.
    Records gone(1, 2);
    ASSERT_EQ(KELFPSCAN_DelUserFpsFroOS(h, gone.user, gone.finger), 0);
    EXPECT_EQ(enroll(names[5], 1, 2), 0);
    EXPECT_EQ(kelvs_store_count(), 5);
    int matched = -1;
    EXPECT_EQ(search("f5", 1, matched), KELFPSCAN_SEARCH_MATCH);
    EXPECT_EQ(matched, 2);

    // The default store holds 50.
    load("[Sensor]\nWorkMode=chip\n");
    kelvs_store_clear();
    char name[16];
    for (int i = 0; i < 50; ++i) {
        std::snprintf(name, sizeof name, "n%d", i);
        ASSERT_EQ(enroll(name, 100 + i, 0), 0) << i;
    }
    EXPECT_EQ(enroll("one-too-many", 200, 0), KELFPSCAN_STORE_FULL);
}

TEST_F(OnChip, TemplatesSurviveInTheStateFile)
{
    ASSERT_EQ(enroll("alice", 1000, 3), 0);
    ASSERT_EQ(enroll("bob", 2000, 0, "other"), 0);
    std::ifstream in(state_file);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "kelvs-store 1");
    EXPECT_FALSE(std::filesystem::exists(state_file + ".tmp." + std::to_string(::getpid())));

    // A new life of the library, as a new process would have it.
    kelvs_reset();
    EXPECT_EQ(kelvs_store_count(), 0);
    load("[Sensor]\nWorkMode=chip\nStateFile=" + state_file + "\n");
    h = open();
    EXPECT_EQ(kelvs_store_count(), 2);
    EXPECT_EQ(kelvs_store_has(1000, 3), 1);
    int matched = -1;
    EXPECT_EQ(search("alice", 1000, matched), KELFPSCAN_SEARCH_MATCH);
    EXPECT_EQ(matched, 3);
    kelvs_finger_press("bob", KELVS_CONTACT_FULL);
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 1), KELFPSCAN_ENROLL_ALREADY_STORED);
}

// Example failure: the store written in place, so that a write cut short (a full disk, a file size
// limit) leaves half a store that no later open can read, and every enrolled finger is lost.
TEST_F(OnChip, AStoreWriteCutShortLeavesTheOldStoreWholeAndLoadable)
{
    for (int index = 1; index <= 4; ++index)
        ASSERT_EQ(enroll(("finger" + std::to_string(index)).c_str(), 1, index), 0);
    const std::string before = file_text(state_file);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Every write of this process stops half-way through the store's length.
        const rlimit limit{before.size() / 2, before.size() / 2};
        ::signal(SIGXFSZ, SIG_IGN);
        Records first(1, 1);
        const bool refused = ::setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
                             KELFPSCAN_DelUserFpsFroOS(h, first.user, first.finger) == KELVS_ERR_STATE_FILE;
        ::_exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the deletion did not report the failed write";

    EXPECT_EQ(file_text(state_file), before);
    kelvs_reset();
    load("[Sensor]\nWorkMode=chip\nStateFile=" + state_file + "\n");
    h = open();
    EXPECT_EQ(kelvs_store_count(), 4);
}

TEST_F(OnChip, DeletionsRemoveWhatTheyNameAndSucceedOnNothing)
{
    ASSERT_EQ(enroll("a1", 1, 1), 0);
    ASSERT_EQ(enroll("a2", 1, 2), 0);
    ASSERT_EQ(enroll("b1", 2, 1), 0);
    ASSERT_EQ(enroll("c1", 3, 1, "else"), 0);

    Records a2(1, 2);
    EXPECT_EQ(KELFPSCAN_DelUserFpsFroOS(h, a2.user, a2.finger), 0);
    EXPECT_EQ(kelvs_store_has(1, 2), 0);
    EXPECT_EQ(kelvs_store_has(1, 1), 1);
    EXPECT_EQ(KELFPSCAN_DelUserFpsFroOS(h, a2.user, a2.finger), 0) << "already gone";

    Records user1(1, 0);
    EXPECT_EQ(KELFPSCAN_DelAllUserFpsFroOS(h, user1.user), 0);
    EXPECT_EQ(kelvs_store_has(1, 1), 0);
    EXPECT_EQ(kelvs_store_has(2, 1), 1);
    EXPECT_EQ(KELFPSCAN_DelAllUserFpsFroOS(h, user1.user), 0);

    EXPECT_EQ(KELFPSCAN_DelOSInfoFpsFroOS(h, "zuvo"), 0);
    EXPECT_EQ(kelvs_store_has(2, 1), 0);
    EXPECT_EQ(kelvs_store_has(3, 1), 1) << "another tag's template stays";
    EXPECT_EQ(KELFPSCAN_DelOSInfoFpsFroOS(h, "zuvo"), 0);
    EXPECT_EQ(kelvs_store_count(), 1);

    // Every deletion reached the state file.
    kelvs_reset();
    load("[Sensor]\nWorkMode=chip\nStateFile=" + state_file + "\n");
    h = open();
    EXPECT_EQ(kelvs_store_count(), 1);
    EXPECT_EQ(kelvs_store_has(3, 1), 1);
}

TEST_F(OnChip, OnChipCallsAreRefusedByAHostModeSensor)
{
    load("[Sensor]\nWorkMode=host\n");
    ASSERT_EQ(KELFPSCAN_CloseDevice(&h), 0);
    ASSERT_EQ(KELFPSCAN_OpenDevice(&h, 0), 0);
    Records r(1, 1);
    int matched;
    unsigned char res;
    unsigned score;
    EXPECT_EQ(KELFPSCAN_EnrollForOS(h, 1), KELVS_ERR_MODE);
    EXPECT_EQ(KELFPSCAN_SearchForOS(h, r.user, &res, &matched, &score), KELVS_ERR_MODE);
    EXPECT_EQ(KELFPSCAN_DelOSInfoFpsFroOS(h, "zuvo"), KELVS_ERR_MODE);
    EXPECT_EQ(KELFPSCAN_StoreTemplateForOS(h, r.user, r.finger), KELVS_ERR_MODE);
}
