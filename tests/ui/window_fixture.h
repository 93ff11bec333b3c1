#pragma once
// A main window created in the test process, paused, with the registry, the
// tools folder and the temporary path redirected into sandboxes.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>
#include "support/tool_double_setup.h"
#include "ui/main_window.h"

// HKEY_CURRENT_USER points at a fresh key while this lives.
class RegistrySandbox {
public:
    RegistrySandbox();
    ~RegistrySandbox();
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;
    bool ready() const { return key_ != nullptr; }
    HKEY key() const { return key_; }

private:
    HKEY key_;
    std::wstring path_;
};

// Dispatches messages until done() holds; false after a generous safety limit.
bool pumpUntil(const std::function<bool()>& done);
void pumpPending();

std::wstring cellText(HWND list, int row, int column);
int rowCount(HWND list);
std::wstring windowText(HWND window);
// A drop of the given paths as the shell hands it over (DROPFILES, wide names).
HDROP makeDrop(const std::vector<std::wstring>& paths);
bool allWorkerSlotsEmpty();

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    HWND control(WORD id) const { return GetDlgItem(window, id); }
    HWND list() const { return control(ID_JOB_LIST); }
    // A job appended to the job list as the adder would, without a file behind it.
    Job* addJob(const std::wstring& name, uint64_t size, Job* parent = nullptr);
    // Destroys the window if it still lives and takes the quit message it posts.
    void closeWindow();
    void selectOnly(int row);

    RegistrySandbox registry;
    ToolSandbox tools;
    std::wstring folder;
    MainWindow* main = nullptr;
    HWND window = nullptr;
    std::vector<Job*> jobs;
};
