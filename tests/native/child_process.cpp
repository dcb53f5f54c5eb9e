#include "child_process.hpp"

#include <stdexcept>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace test_support {

struct Child {
    PROCESS_INFORMATION info;
};

Child* start_child(const std::string& role, const std::string& name) {
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string command = std::string("\"") + exe + "\" --child " + role + " " + name;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    auto* child = new Child{};
    if (!CreateProcessA(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &child->info)) {
        delete child;
        throw std::runtime_error("CreateProcessA failed");
    }
    return child;
}

int wait_child(Child* child) {
    WaitForSingleObject(child->info.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(child->info.hProcess, &code);
    CloseHandle(child->info.hThread);
    CloseHandle(child->info.hProcess);
    delete child;
    return static_cast<int>(code);
}

}  // namespace test_support

#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace test_support {

struct Child {
    pid_t pid;
};

Child* start_child(const std::string& role, const std::string& name) {
    std::string exe = "/proc/self/exe", flag = "--child", role_arg = role, name_arg = name;
    char* argv[] = {exe.data(), flag.data(), role_arg.data(), name_arg.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, environ) != 0) {
        throw std::runtime_error("posix_spawn failed");
    }
    return new Child{pid};
}

int wait_child(Child* child) {
    int status = 0;
    waitpid(child->pid, &status, 0);
    delete child;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace test_support
#endif
