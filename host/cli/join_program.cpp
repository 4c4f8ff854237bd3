#include "join_program.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string join_program() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path beside = self.parent_path() / "qeljoin";
        if (std::filesystem::is_regular_file(beside, error)) return beside.string();
    }
    return "qeljoin";
}

}  // namespace

int run_join_program(const std::vector<std::string>& arguments, std::string* printed) {
    const std::string program = join_program();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int pipeEnds[2] = {-1, -1};
    if (printed && pipe2(pipeEnds, O_CLOEXEC) != 0) return 127;
    const pid_t child = fork();
    if (child == 0) {
        if (printed) dup2(pipeEnds[1], STDOUT_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (printed) {
        close(pipeEnds[1]);
        char buffer[256];
        ssize_t got = 0;
        while (child > 0 && ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)))
            if (got > 0) printed->append(buffer, size_t(got));
        close(pipeEnds[0]);
    }
    if (child < 0) return 127;
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return 127;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
