// Test helper: runs the real engine binary as a child process behind two pipes
// and talks UCI to it as a chess interface would. Every wait has a timeout, so
// a hung engine fails the test instead of hanging it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

class UciDriver {
public:
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::milliseconds;
    // Generous: only a hang (or a sanitizer build on a slow machine) comes near it.
    static constexpr Ms TIMEOUT{60000};

    // With a shell prefix the engine is started as /bin/sh -c '<prefix> exec <engine>',
    // so that the prefix can set limits such as "ulimit -s 256;" first.
    explicit UciDriver(const std::string& shell_prefix = std::string()) {
        // Built before the fork: the child only calls async-signal-safe functions.
        const std::string script = shell_prefix + " exec \"$0\"";
        signal(SIGPIPE, SIG_IGN);  // a write to an engine that has exited must fail, not kill us
        int to_engine[2];
        int from_engine[2];
        // Close-on-exec, so a second engine never inherits this one's pipe ends
        // (which would keep its input from ever reaching end of input).
        if (pipe2(to_engine, O_CLOEXEC) != 0 || pipe2(from_engine, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2 failed";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(to_engine[0], 0);
            dup2(from_engine[1], 1);
            if (shell_prefix.empty())
                execl(VELLOWIND_PATH, VELLOWIND_PATH, static_cast<char*>(nullptr));
            else
                execl("/bin/sh", "sh", "-c", script.c_str(), VELLOWIND_PATH, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(to_engine[0]);
        close(from_engine[1]);
        in_fd_ = to_engine[1];
        out_fd_ = from_engine[0];
        if (pid_ < 0) {
            ADD_FAILURE() << "fork failed";
            close_input();
            eof_ = true;
            return;
        }
        fcntl(in_fd_, F_SETFL, fcntl(in_fd_, F_GETFL) | O_NONBLOCK);
        fcntl(out_fd_, F_SETFL, fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
    }

    UciDriver(const UciDriver&) = delete;
    UciDriver& operator=(const UciDriver&) = delete;

    // Every engine must end with exit code 0, also when the test did not ask.
    ~UciDriver() {
        if (!finished_) {
            const int code = finish();
            EXPECT_EQ(code, 0) << "engine exit status";
        }
        if (out_fd_ >= 0) close(out_fd_);
    }

    // Writes raw bytes; keeps draining the engine's output meanwhile, so a large
    // input can never deadlock against a full output pipe.
    bool write_raw(std::string_view bytes, Ms timeout = TIMEOUT) {
        const auto deadline = Clock::now() + timeout;
        size_t done = 0;
        while (done < bytes.size()) {
            if (in_fd_ < 0) return false;
            const ssize_t n = ::write(in_fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;  // engine gone
            pollfd fds[2] = {{in_fd_, POLLOUT, 0}, {out_fd_, POLLIN, 0}};
            if (!wait_for(fds, 2, deadline)) {
                ADD_FAILURE() << "timed out writing to the engine";
                return false;
            }
            if (fds[1].revents != 0) drain_available();
        }
        return true;
    }

    // The engine's process id (or the shell's that runs it, until its exec).
    pid_t pid() const { return pid_; }

    bool send(std::string_view line) { return write_raw(std::string(line) + "\n"); }

    bool send_all(const std::vector<std::string>& lines) {
        std::string all;
        for (const std::string& l : lines) all += l + "\n";
        return write_raw(all);
    }

    // The next output line without its newline; nullopt at end of output or on timeout.
    std::optional<std::string> read_line(Ms timeout = TIMEOUT) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const size_t nl = buffer_.find('\n', scan_from_);
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                scan_from_ = 0;
                return line;
            }
            scan_from_ = buffer_.size();
            if (eof_) return std::nullopt;
            pollfd fd = {out_fd_, POLLIN, 0};
            if (!wait_for(&fd, 1, deadline)) return std::nullopt;
            drain_available();
        }
    }

    // Lines up to and including the first that satisfies `last`. A timeout or an
    // early end of output is a test failure; the lines read so far are returned.
    std::vector<std::string> read_until(const std::function<bool(const std::string&)>& last,
                                        Ms timeout = TIMEOUT) {
        const auto deadline = Clock::now() + timeout;
        std::vector<std::string> lines;
        for (;;) {
            const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
            std::optional<std::string> line = read_line(std::max(left, Ms(0)));
            if (!line) {
                ADD_FAILURE() << (eof_ ? "engine closed its output" : "timed out") << " after "
                              << lines.size() << " lines"
                              << (lines.empty() ? std::string() : ", last: " + lines.back());
                return lines;
            }
            lines.push_back(*line);
            if (last(lines.back())) return lines;
        }
    }

    std::vector<std::string> read_until_line(const std::string& exact, Ms timeout = TIMEOUT) {
        return read_until([&](const std::string& l) { return l == exact; }, timeout);
    }

    // Sends the lines and then "isready"; returns what the engine wrote before
    // the "readyok" of that last "isready". Commands run in order, so everything
    // they write comes first. Lines that are themselves "isready" commands add
    // their own "readyok" to the result.
    std::vector<std::string> exchange(const std::vector<std::string>& lines) {
        std::vector<std::string> all = lines;
        all.push_back("isready");
        send_all(all);
        size_t readyoks = 0;
        for (const std::string& l : all) readyoks += first_word(l) == "isready" ? 1 : 0;
        std::vector<std::string> out;
        while (readyoks-- > 0) {
            const std::vector<std::string> part = read_until_line("readyok");
            out.insert(out.end(), part.begin(), part.end());
            if (part.empty() || part.back() != "readyok") break;
        }
        if (!out.empty() && out.back() == "readyok") out.pop_back();
        return out;
    }

    void close_input() {
        if (in_fd_ >= 0) close(in_fd_);
        in_fd_ = -1;
    }

    // Everything the engine writes until it closes its output.
    std::vector<std::string> read_all(Ms timeout = TIMEOUT) {
        const auto deadline = Clock::now() + timeout;
        std::vector<std::string> lines;
        for (;;) {
            const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
            std::optional<std::string> line = read_line(std::max(left, Ms(0)));
            if (!line) break;
            lines.push_back(*line);
        }
        if (!eof_)
            ADD_FAILURE() << "timed out waiting for the engine to close its output";
        else if (!buffer_.empty())
            lines.push_back(buffer_);  // a last line without newline
        buffer_.clear();
        return lines;
    }

    // Ends the input if still open and waits for the exit. Returns the exit code,
    // 128 + signal when killed by a signal, or -1 when it had to be killed.
    int finish(Ms timeout = TIMEOUT) {
        if (finished_) return status_;
        finished_ = true;
        close_input();
        if (pid_ <= 0) return status_ = -1;
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            int wstatus = 0;
            const pid_t r = waitpid(pid_, &wstatus, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
                return status_;
            }
            if (Clock::now() >= deadline) {
                ADD_FAILURE() << "engine did not exit in time; killed";
                kill(pid_, SIGKILL);
                waitpid(pid_, &wstatus, 0);
                return status_ = -1;
            }
            if (!eof_) {
                // Keep its output flowing so it cannot block on a full pipe.
                pollfd fd = {out_fd_, POLLIN, 0};
                poll(&fd, 1, 10);
                drain_available();
            } else {
                std::this_thread::sleep_for(Ms(5));
            }
        }
    }

private:
    // The command word as the engine takes it from a line.
    static std::string first_word(const std::string& line) {
        std::istringstream words(line);
        std::string w;
        words >> w;
        return w;
    }

    static bool wait_for(pollfd* fds, int n, Clock::time_point deadline) {
        for (;;) {
            const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            const int r = poll(fds, nfds_t(n), int(std::min<long long>(left, 1000)));
            if (r > 0) return true;
            if (r < 0 && errno != EINTR) return false;
        }
    }

    void drain_available() {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::read(out_fd_, chunk, sizeof chunk);
            if (n > 0) {
                buffer_.append(chunk, size_t(n));
                continue;
            }
            if (n == 0) eof_ = true;
            if (n < 0 && errno == EINTR) continue;
            return;
        }
    }

    pid_t pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    std::string buffer_;
    size_t scan_from_ = 0;
    bool eof_ = false;
    bool finished_ = false;
    int status_ = -1;
};
