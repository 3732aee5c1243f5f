// Running the programs as processes, and simulated worlds for them to run in.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct RunResult {
    int status = -1; // exit status, or 128 + signal
    std::string out; // standard output
    std::string err; // standard error
};

// Runs argv[0] with the environment of the test plus `env` ("NAME=value";
// "NAME=" alone removes NAME), feeding `input` to its standard input.
RunResult run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
              const std::string &input = "");

// A program started without waiting for it; its standard input is empty.
struct Spawned {
    int pid = -1;
    int out_fd = -1; // read end of its standard output
    int err_fd = -1; // read end of its standard error
};
Spawned spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
// Collects the rest of its output and waits for it to end.
RunResult finish(Spawned &child);
// Waits until the file exists (true) or timeout_ms have passed (false).
bool wait_for_file(const std::string &path, int timeout_ms = 20000);

// Path of a program of the build tree ("sim/tarvo_update", "tarvo_update", ...).
std::string build_path(const std::string &relative);

// A field of a one-line JSON object as `tarvo-sim show` prints it, without
// quotes; "?" when the object has no such field.
std::string json_field(const std::string &json, const std::string &name);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);

// A fresh world in a temporary directory, made with tarvo-sim init, removed at the end.
class World {
  public:
    explicit World(const std::string &port1 = "tarvo", const std::string &port2 = "tarvo");
    ~World();
    World(const World &) = delete;
    World &operator=(const World &) = delete;

    const std::string &root() const { return root_; }
    std::string path(const std::string &fixed) const { return root_ + fixed; }
    std::string env() const { return "TARVO_SIM_ROOT=" + root_; }

    // Runs the simulated updater in this world.
    RunResult update(const std::vector<std::string> &args,
                     const std::vector<std::string> &env = {}) const;
    // Starts the simulated updater in this world without waiting for it.
    Spawned spawn_update(const std::vector<std::string> &args,
                         const std::vector<std::string> &env = {}) const;
    // Runs the simulated board query in this world, or starts it without waiting.
    RunResult info(const std::vector<std::string> &args) const;
    Spawned spawn_info(const std::vector<std::string> &args,
                       const std::vector<std::string> &env = {}) const;
    // The newest outcome record of the port in the update history, "" when none.
    std::string last_record(int port) const;
    // Runs the simulated programs through this program with its arguments when not empty
    // (setpriv to run it as another user).
    std::vector<std::string> wrapper;

    // The world set up as the installation sets it up for the web server's user
    // (nobody here, of group nogroup): anyone may use its files, the settings
    // directory belongs to that user and group, and the installation's
    // tarvo_dirs gives the private directories of the lock and the records to
    // that group.  Needs root.
    void set_up_for_web_user() const;
    // Wrappers that run the programs as the web server's user (nobody, of the
    // group nogroup), and as another local user (of no group of the world).
    static const std::vector<std::string> NOBODY;
    static const std::vector<std::string> OTHER_USER;

    // Runs tarvo-sim with these arguments.
    RunResult sim(const std::vector<std::string> &args) const;

    // The world's system log, and its messages (text after "tarvo_update[PID]: ")
    // with their level ("err", "info", ...).
    std::string log() const;
    struct Message {
        std::string level;
        std::string text;
    };
    std::vector<Message> messages() const;

  private:
    // A simulated program of the build behind the wrapper, and the world's
    // environment with the test's own switches of the simulation cleared.
    std::vector<std::string> program_argv(const std::string &program,
                                          const std::vector<std::string> &args) const;
    std::vector<std::string> program_env(const std::vector<std::string> &env) const;
    std::string root_;
};

} // namespace testing_support
