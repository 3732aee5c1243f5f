#include "tests/support/process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testing_support {

namespace {

// A cross-built test suite runs the target's programs (ARM ELF files, also
// when reached through a link) under the emulator; host scripts run as they are.
const std::string emulator_path = TARVO_TEST_EMULATOR;

bool is_arm_program(const std::string &path) {
    unsigned char head[20] = {0};
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, head, sizeof head);
    close(fd);
    constexpr unsigned EM_ARM_MACHINE = 40;
    return n == static_cast<ssize_t>(sizeof head) &&
           std::memcmp(head,
                       "\x7f"
                       "ELF",
                       4) == 0 &&
           (head[18] | head[19] << 8) == EM_ARM_MACHINE;
}

// The environment of the test with `env` applied, as run() builds it.
std::vector<std::string> child_environment(const std::vector<std::string> &env) {
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e)
        envs.emplace_back(*e);
    for (const auto &kv : env) {
        std::string name = kv.substr(0, kv.find('='));
        std::erase_if(envs, [&](const std::string &e) { return e.rfind(name + "=", 0) == 0; });
        if (kv.size() > name.size() + 1)
            envs.push_back(kv);
    }
    return envs;
}

// argv and envs as execve wants them.  The first ARM program in argv (the
// program itself, or the one that a host wrapper such as setpriv starts) goes
// behind the emulator.
void exec_vectors(const std::vector<std::string> &argv, const std::vector<std::string> &envs,
                  std::vector<char *> &cargv, std::vector<char *> &cenv) {
    bool emulated = emulator_path.empty();
    for (const auto &a : argv) {
        if (!emulated && is_arm_program(a)) {
            cargv.push_back(const_cast<char *>(emulator_path.c_str()));
            emulated = true;
        }
        cargv.push_back(const_cast<char *>(a.c_str()));
    }
    cargv.push_back(nullptr);
    for (const auto &e : envs)
        cenv.push_back(const_cast<char *>(e.c_str()));
    cenv.push_back(nullptr);
}

// Feeds `input` to in_fd (closed when all is written; -1 for none), reads the
// child's standard output and error until both end, closes the descriptors and
// waits for the child.
RunResult collect(pid_t pid, int out_fd, int err_fd, int in_fd, const std::string &input) {
    RunResult r;
    size_t written = 0;
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        if (!out_open)
            fds[0].fd = -1;
        if (!err_open)
            fds[1].fd = -1;
        if (poll(fds, 3, -1) < 0 && errno != EINTR)
            break;
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents) {
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0)
                    (i == 0 ? out_open : err_open) = false;
                else
                    (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            }
        }
        if (in_fd >= 0 && fds[2].revents) {
            ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n <= 0 || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0)
        close(in_fd);
    close(out_fd);
    close(err_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// Starts argv with the environment of the test plus `env`: its standard input
// reads in_fd (/dev/null when -1), its output and errors go to the write ends
// of the pipes out and err, which the parent then closes.  Returns its pid.
pid_t start_child(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                  int in_fd, const int out[2], const int err[2]) {
    std::vector<std::string> envs = child_environment(env);
    std::vector<char *> cargv, cenv;
    exec_vectors(argv, envs, cargv, cenv);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY), 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return pid;
}

} // namespace

RunResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              const std::string &input) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        return {};
    pid_t pid = start_child(argv, env, in[0], out, err);
    close(in[0]);
    signal(SIGPIPE, SIG_IGN);
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    return collect(pid, out[0], err[0], in[1], input);
}

Spawned spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    Spawned child;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC))
        return child;
    if (pipe2(err, O_CLOEXEC)) {
        close(out[0]);
        close(out[1]);
        return child;
    }
    child.pid = start_child(argv, env, -1, out, err);
    child.out_fd = out[0];
    child.err_fd = err[0];
    return child;
}

RunResult finish(Spawned &child) {
    if (child.pid < 0)
        return RunResult{};
    RunResult r = collect(child.pid, child.out_fd, child.err_fd, -1, "");
    child = Spawned{};
    return r;
}

bool wait_for_file(const std::string &path, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; ++waited) {
        if (file_exists(path))
            return true;
        poll(nullptr, 0, 1);
    }
    return file_exists(path);
}

std::string build_path(const std::string &relative) {
    return std::string(TARVO_BUILD_DIR) + "/" + relative;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool file_exists(const std::string &path) {
    return std::filesystem::exists(path);
}

World::World(const std::string &port1, const std::string &port2) {
    char tmpl[] = "/tmp/tarvo-world-XXXXXX";
    root_ = mkdtemp(tmpl);
    run({build_path("sim/tarvo-sim"), "init", root_, "--port1", port1, "--port2", port2});
}

World::~World() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::vector<std::string> World::program_argv(const std::string &program,
                                             const std::vector<std::string> &args) const {
    std::vector<std::string> argv = wrapper;
    argv.push_back(build_path(program));
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> World::program_env(const std::vector<std::string> &env) const {
    std::vector<std::string> e{this->env(), "TARVO_SIM_SPEED=", "TARVO_SIM_TRACE="};
    e.insert(e.end(), env.begin(), env.end());
    return e;
}

const std::vector<std::string> World::NOBODY = {"/usr/bin/setpriv", "--reuid=nobody",
                                                "--regid=nogroup", "--clear-groups"};

const std::vector<std::string> World::OTHER_USER = {"/usr/bin/setpriv", "--reuid=4242",
                                                    "--regid=4242", "--clear-groups"};

void World::set_up_for_web_user() const {
    const std::string lock_dir = path("/var/tarvo_update"), state = path("/opt/tarvo_update/state");
    for (const auto &e : std::filesystem::recursive_directory_iterator(root_))
        if (!e.is_symlink() && e.path() != lock_dir && e.path() != state)
            chmod(e.path().c_str(), e.is_directory() ? 0777 : 0666);
    // The directories above the key directory stay root's alone.
    for (const char *dir : {"", "/opt", "/opt/tarvo_update"})
        chmod(path(dir).c_str(), 0755);
    // The installation gives the settings to the web server's user and group,
    // and the private directories to that group.
    if (chown(path("/opt/tarvo_update/etc").c_str(), 65534, 65534) != 0)
        std::perror(path("/opt/tarvo_update/etc").c_str());
    RunResult r = run({std::string(TARVO_SOURCE_DIR) + "/deploy/boot/tarvo_dirs", root_});
    if (r.status != 0)
        std::fprintf(stderr, "tarvo_dirs %s: status %d: %s", root_.c_str(), r.status,
                     r.err.c_str());
}

RunResult World::update(const std::vector<std::string> &args,
                        const std::vector<std::string> &env) const {
    return run(program_argv("sim/tarvo_update", args), program_env(env));
}

Spawned World::spawn_update(const std::vector<std::string> &args,
                            const std::vector<std::string> &env) const {
    return spawn(program_argv("sim/tarvo_update", args), program_env(env));
}

RunResult World::info(const std::vector<std::string> &args) const {
    return run(program_argv("sim/tarvo_info", args), program_env({}));
}

std::string World::last_record(int port) const {
    std::string out = info({"--history", std::to_string(port), "json"}).out;
    return out.substr(0, out.find('\n'));
}

Spawned World::spawn_info(const std::vector<std::string> &args,
                          const std::vector<std::string> &env) const {
    return spawn(program_argv("sim/tarvo_info", args), program_env(env));
}

RunResult World::sim(const std::vector<std::string> &args) const {
    std::vector<std::string> argv{build_path("sim/tarvo-sim")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
}

std::string World::log() const {
    return read_file(path("/var/log/messages"));
}

std::vector<World::Message> World::messages() const {
    std::vector<Message> result;
    std::istringstream in(log());
    std::string line;
    while (std::getline(in, line)) {
        auto d = line.find(" daemon.");
        auto t = line.find("]: ");
        if (d == std::string::npos || t == std::string::npos)
            continue;
        auto lv = d + 8;
        result.push_back({line.substr(lv, line.find(' ', lv) - lv), line.substr(t + 3)});
    }
    return result;
}

std::string json_field(const std::string &json, const std::string &name) {
    auto at = json.find("\"" + name + "\":");
    if (at == std::string::npos)
        return "?";
    at += name.size() + 3;
    auto end = json.find_first_of(",}", json[at] == '"' ? json.find('"', at + 1) : at);
    std::string v = json.substr(at, end - at);
    if (v.size() >= 2 && v.front() == '"')
        v = v.substr(1, v.size() - 2);
    return v;
}

} // namespace testing_support
