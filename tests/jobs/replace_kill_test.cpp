#include <gtest/gtest.h>
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <string>

namespace {

const size_t CONTENT_LENGTH = 8 * 1024 * 1024;
const int KILLS = 30;
const UINT KILLED_EXIT_CODE = 9;

std::string content(char fill, char tag)
{
    std::string bytes(CONTENT_LENGTH, fill);
    for (size_t i = 0; i < bytes.size(); i += 4096)
        bytes[i] = tag;
    return bytes;
}

// A kill at any moment of a replacement leaves the old or the new content, never a mixture.
TEST(ReplaceUnderKill, TheTargetIsAlwaysOneWholeVersion)
{
    std::wstring folder = makeTestFolder(L"replace-kill");
    std::wstring target = folder + L"\\target.bin";
    std::wstring first = folder + L"\\first.bin";
    std::wstring second = folder + L"\\second.bin";
    const std::string firstBytes = content('a', 'A');
    const std::string secondBytes = content('b', 'B');
    ASSERT_TRUE(writeTestFile(first, firstBytes));
    ASSERT_TRUE(writeTestFile(second, secondBytes));
    ASSERT_TRUE(writeTestFile(target, firstBytes));
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, L"VellReplaceKillStarted");
    ASSERT_NE(started, nullptr);

    unsigned seed = 12345;
    int sawOld = 0;
    int sawNew = 0;
    for (int kill = 0; kill < KILLS; ++kill) {
        ResetEvent(started);
        // The helper's first replacement brings the content the target does not hold.
        const bool targetHoldsFirst = readTestFile(target) == firstBytes;
        const std::wstring& fresh = targetHoldsFirst ? second : first;
        const std::wstring& held = targetHoldsFirst ? first : second;
        std::wstring command = L"\"" + wineHostPath(REPLACE_KILL_HELPER_PATH) + L"\" \"" + target + L"\" \"" + fresh + L"\" \"" + held + L"\"";
        STARTUPINFOW startup = {sizeof(startup)};
        PROCESS_INFORMATION process = {};
        bool launched = false;
        DWORD error = 0;
        // Under load Wine now and then refuses a start; that is not what this test looks at.
        for (int attempt = 0; attempt < 5 && !launched; ++attempt) {
            launched = CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &process) != 0;
            error = GetLastError();
            if (!launched)
                Sleep(200);
        }
        ASSERT_TRUE(launched) << "cannot start the helper, error " << error;
        // Somewhere from the first copy to a few replacements later.
        seed = seed * 1103515245u + 12345u;
        DWORD delay = (seed >> 16) % 400;
        if (kill % 2 == 0) {
            HANDLE both[2] = {started, process.hProcess};
            DWORD waited = WaitForMultipleObjects(2, both, FALSE, 60000);
            EXPECT_EQ(waited, WAIT_OBJECT_0) << "kill " << kill << ": the helper never finished a replacement";
        }
        Sleep(delay);
        // A helper that already ended (it failed) cannot be terminated and kept its own exit code.
        BOOL terminated = TerminateProcess(process.hProcess, KILLED_EXIT_CODE);
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        ASSERT_TRUE(terminated && exitCode == KILLED_EXIT_CODE)
            << "kill " << kill << ": the helper ended by itself with exit code " << exitCode;

        std::string now = readTestFile(target);
        bool whole = now == firstBytes || now == secondBytes;
        ASSERT_TRUE(whole) << "kill " << kill << " after " << delay << " ms left " << now.size() << " bytes";
        ((now == firstBytes) == targetHoldsFirst ? sawOld : sawNew)++;
    }
    std::cout << "[ figures  ] after a kill the target held the old content " << sawOld << " times, the new "
              << sawNew << " times\n";
    // Every second round waits for a finished replacement; some must show it.
    EXPECT_GT(sawNew, 0) << "no kill ever found a replacement done";
    CloseHandle(started);
    removeTestFolder(folder);
}

} // namespace
