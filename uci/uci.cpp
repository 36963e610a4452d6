// Program entry and UCI front end: the engine object, the command loop and the
// handler of every command, the background search thread with its cancellation,
// and every line the engine writes.
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "board/attack.h"
#include "board/fen.h"
#include "board/move.h"
#include "board/movegen.h"
#include "board/perft.h"
#include "board/position.h"
#include "board/types.h"
#include "eval/eval.h"
#include "search/search.h"
#include "uci/timeman.h"

namespace {

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

// The cast keeps bytes above 127 (and NULs) away from isspace's undefined range.
bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string trim_front(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && is_space(s[i])) ++i;
    return std::string(s.substr(i));
}

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// The option value as std::stoi reads it, or fallback when it has no leading
// number or leaves the 32-bit range. The only place where anything is caught.
int parse_int_or(const std::string& text, int fallback) {
    try {
        return std::stoi(text);
    } catch (const std::invalid_argument&) {
        return fallback;
    } catch (const std::out_of_range&) {
        return fallback;
    }
}

bool load_start_position(Position& pos, std::string& err) {
    return fen::parse_fen(fen::START_FEN, pos, err);
}

// Scores beyond this are announced as a mate distance in moves.
constexpr int MATE_DISPLAY_THRESHOLD = SCORE_MATE - 257;

std::string format_score(int score) {
    const int64_t magnitude = score < 0 ? -int64_t(score) : int64_t(score);
    if (magnitude > MATE_DISPLAY_THRESHOLD) {
        const int64_t moves = (int64_t(SCORE_MATE) + 1 - magnitude) / 2;
        return "mate " + std::to_string(score < 0 ? -moves : moves);
    }
    return "cp " + std::to_string(score);
}

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

enum class OptionKind { Hash, MoveOverhead, MinThinkingTime, SlowMover, SearchParam };

struct SpinOption {
    const char* name;
    OptionKind kind;
    int def;
    int min;
    int max;
};

// The announced options in the order of the "uci" reply. The ranges of the four
// front-end options are also the clamps that "setoption" applies; the search
// parameters are passed on unclamped (their module accepts any value).
constexpr SpinOption SPIN_OPTIONS[] = {
    {"Hash", OptionKind::Hash, 64, 1, 4096},
    {"Move Overhead", OptionKind::MoveOverhead, 30, 0, 5000},
    {"Minimum Thinking Time", OptionKind::MinThinkingTime, 20, 0, 5000},
    {"Slow Mover", OptionKind::SlowMover, 100, 10, 500},
    {"SeeCaptureMargin", OptionKind::SearchParam, 32, 0, 200},
    {"SeeCaptureDepth", OptionKind::SearchParam, 6, 0, 12},
    {"SeeQuietMargin", OptionKind::SearchParam, 40, 0, 400},
    {"SeeQuietDepth", OptionKind::SearchParam, 10, 0, 12},
    {"SeeEndgameGuard", OptionKind::SearchParam, 0, 0, 32},
    {"SeeCaptHistDiv", OptionKind::SearchParam, 512, 0, 4096},
    {"SeeQuietHistDiv", OptionKind::SearchParam, 512, 0, 4096},
    {"CorrPawnWeight", OptionKind::SearchParam, 2, 0, 8},
    {"CorrNonPawnWeight", OptionKind::SearchParam, 1, 0, 8},
    {"CorrContWeight", OptionKind::SearchParam, 1, 0, 8},
    {"CorrWeightScale", OptionKind::SearchParam, 2, 1, 8},
};

const SpinOption* find_option(const std::string& name) {
    for (const SpinOption& opt : SPIN_OPTIONS)
        if (name == opt.name) return &opt;
    return nullptr;
}

// ---------------------------------------------------------------------------
// The search thread
// ---------------------------------------------------------------------------

// The search recurses about 15 KB a ply, some 2 MB at its deepest. A new thread
// normally gets the process stack limit as its stack, which may be far smaller
// or far larger (ulimit -s), so the size is set here with a wide margin.
// Untouched stack pages cost no memory.
constexpr size_t SEARCH_STACK_BYTES = size_t(32) << 20;
constexpr size_t STACK_GUARD_BYTES = 4096;

// A joinable thread like std::thread, on a stack of SEARCH_STACK_BYTES. The
// stack is mapped once, with the engine, before the hash tables take their
// memory: where the address space is too tight for it (ulimit -v), the tables
// cannot be made either and the engine ends at once, and a later "go" never
// fails for want of a stack. One stack serves every search, as one search
// thread runs at a time.
class SearchThread {
public:
    SearchThread() {
        void* p = mmap(nullptr, STACK_GUARD_BYTES + SEARCH_STACK_BYTES, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (p == MAP_FAILED) return;
        // The lowest page stays a guard: an overflow faults instead of writing past the end.
        char* stack = static_cast<char*>(p) + STACK_GUARD_BYTES;
        if (mprotect(stack, SEARCH_STACK_BYTES, PROT_READ | PROT_WRITE) == 0)
            stack_ = stack;
        else
            munmap(p, STACK_GUARD_BYTES + SEARCH_STACK_BYTES);
    }
    SearchThread(const SearchThread&) = delete;
    SearchThread& operator=(const SearchThread&) = delete;

    // Like std::thread, destroying a thread that was never joined ends the program.
    ~SearchThread() {
        if (joinable_) std::terminate();
        if (stack_) munmap(stack_ - STACK_GUARD_BYTES, STACK_GUARD_BYTES + SEARCH_STACK_BYTES);
    }

    // Starts body on a new thread; only when not joinable. Without the stack
    // of its own (its mapping failed), the thread library maps one of the same
    // size. Failure throws, as std::thread does.
    void start(std::function<void()> body) {
        if (joinable_) std::terminate();  // two threads would share the stack
        auto task = std::make_unique<std::function<void()>>(std::move(body));
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        int rc = stack_ ? pthread_attr_setstack(&attr, stack_, SEARCH_STACK_BYTES)
                        : pthread_attr_setstacksize(&attr, SEARCH_STACK_BYTES);
        if (rc == 0) rc = pthread_create(&id_, &attr, &SearchThread::run, task.get());
        pthread_attr_destroy(&attr);
        if (rc != 0) throw std::system_error(rc, std::generic_category(), "search thread");
        task.release();  // the thread owns it now
        joinable_ = true;
    }
    bool joinable() const { return joinable_; }
    void join() {
        pthread_join(id_, nullptr);
        joinable_ = false;
    }

private:
    static void* run(void* arg) {
        const std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(arg));
        (*task)();
        return nullptr;
    }

    char* stack_ = nullptr;
    pthread_t id_{};
    bool joinable_ = false;
};

// ---------------------------------------------------------------------------
// The engine object
// ---------------------------------------------------------------------------

class UciEngine {
public:
    UciEngine();
    ~UciEngine();
    UciEngine(const UciEngine&) = delete;
    UciEngine& operator=(const UciEngine&) = delete;

    // Reads and executes commands until "quit" or the end of input.
    void run();

private:
    // Returns false when the loop is to end.
    bool execute(const std::string& line);

    void send_line(const std::string& line);
    // Writes a line of search number `number` only while that search is current.
    void send_search_line(const std::string& line, uint64_t number);

    void handle_uci();
    void handle_perft(std::istringstream& words);
    void handle_d();
    void handle_position(const std::string& line);
    void handle_go(std::istringstream& words);
    void handle_stop();
    void handle_setoption(const std::string& line);
    void handle_ucinewgame();
    void handle_eval();
    void handle_evaltrace();
    // Makes both hash tables for hash_mb; ends the process when it cannot.
    void make_hash_tables();

    // Ends a search that is still there (running or finished) without any
    // further line from it; nothing to do when there is none.
    void cancel_search_and_wait();
    // Sets the stop flag and wakes a finished infinite search that waits for it.
    void request_stop();
    void run_search_worker(Position root, Search::SearchLimits limits, uint64_t number);
    std::string format_info(const Search::SearchInfo& info) const;

    Position position;
    SearchThread search_thread;
    std::atomic<uint64_t> search_id{0};
    std::mutex out_mutex;
    // Where a finished infinite search waits for "stop" (or a cancel).
    std::mutex stop_mutex;
    std::condition_variable stop_signal;
    bool stop_received = false;  // under stop_mutex; false from each "go" on
    TimeMan::Options time_options;
    int32_t hash_mb = 64;
};

UciEngine::UciEngine() {
    Attack::init_tables();
    Search::init_search();
    make_hash_tables();
    Search::new_game();
    std::string err;
    if (!load_start_position(position, err)) position.clear();
}

UciEngine::~UciEngine() {
    cancel_search_and_wait();
}

void UciEngine::run() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!execute(line)) break;
    }
}

bool UciEngine::execute(const std::string& line) {
    if (line.empty()) return true;
    std::istringstream words(line);
    std::string cmd;
    words >> cmd;

    if (cmd == "uci") {
        handle_uci();
    } else if (cmd == "isready") {
        send_line("readyok");
    } else if (cmd == "ucinewgame") {
        handle_ucinewgame();
    } else if (cmd == "position") {
        handle_position(line);
    } else if (cmd == "go") {
        handle_go(words);
    } else if (cmd == "stop") {
        handle_stop();
    } else if (cmd == "quit") {
        cancel_search_and_wait();
        return false;
    } else if (cmd == "setoption") {
        handle_setoption(line);
    } else if (cmd == "perft") {
        handle_perft(words);
    } else if (cmd == "d") {
        handle_d();
    } else if (cmd == "eval") {
        handle_eval();
    } else if (cmd == "evaltrace") {
        handle_evaltrace();
    }
    return true;
}

void UciEngine::send_line(const std::string& line) {
    std::lock_guard<std::mutex> lock(out_mutex);
    std::cout << line << '\n';
    std::cout.flush();
}

void UciEngine::send_search_line(const std::string& line, uint64_t number) {
    std::lock_guard<std::mutex> lock(out_mutex);
    // Tested under the lock, so no line of a cancelled search follows its cancel.
    if (search_id.load() != number) return;
    std::cout << line << '\n';
    std::cout.flush();
}

// ---------------------------------------------------------------------------
// "uci", "perft", "d"
// ---------------------------------------------------------------------------

void UciEngine::handle_uci() {
    send_line("id name Vellowind 3.3");
    send_line("id author the Vellowind developers");
    send_line("id country Netherlands");
    // Fixed texts: they show the start values whatever "setoption" changed since.
    for (const SpinOption& opt : SPIN_OPTIONS) {
        send_line(std::string("option name ") + opt.name + " type spin default " + std::to_string(opt.def) +
                  " min " + std::to_string(opt.min) + " max " + std::to_string(opt.max));
    }
    send_line("uciok");
}

void UciEngine::handle_perft(std::istringstream& words) {
    cancel_search_and_wait();
    int depth = 1;
    words >> depth;  // unreadable gives 0, out of range the nearest limit
    // The counter's domain starts at 0; a negative depth counts the root alone.
    depth = std::max(depth, 0);
    Position copy = position;
    const PerftResult r = perft(copy, depth);
    send_line("perft nodes=" + std::to_string(r.nodes) + " captures=" + std::to_string(r.captures) +
              " enpassant=" + std::to_string(r.enpassant) + " castles=" + std::to_string(r.castles) +
              " promotions=" + std::to_string(r.promotions));
}

void UciEngine::handle_d() {
    send_line("info string fen " + position.to_fen());
    send_line("info string");
    const std::string picture = position.board_visual();
    std::lock_guard<std::mutex> lock(out_mutex);
    std::cout << picture;
    std::cout.flush();
}

// ---------------------------------------------------------------------------
// "position"
// ---------------------------------------------------------------------------

void UciEngine::handle_position(const std::string& line) {
    // Every "position", also a rejected one, ends a running search.
    cancel_search_and_wait();

    const size_t at = line.find("position");
    const std::string text =
        at == std::string::npos ? std::string() : trim_front(std::string_view(line).substr(at + 8));

    // Built on a temporary so that a rejected command leaves the engine position alone.
    Position temp;
    std::string moves_text;
    if (starts_with(text, "startpos")) {
        std::string err;
        if (!load_start_position(temp, err)) {
            send_line("info string failed to load start position");
            return;
        }
        const std::string rest = trim_front(std::string_view(text).substr(8));
        if (starts_with(rest, "moves")) moves_text = trim_front(std::string_view(rest).substr(5));
    } else if (starts_with(text, "fen")) {
        const std::string rest = trim_front(std::string_view(text).substr(3));
        const size_t sep = rest.find(" moves ");
        const std::string fen_text = trim(std::string_view(rest).substr(0, sep));
        std::string err;
        if (!fen::parse_fen(fen_text, temp, err)) {
            send_line("info string bad fen: " + err);
            return;
        }
        if (sep != std::string::npos) moves_text = trim_front(std::string_view(rest).substr(sep + 7));
    } else {
        send_line("info string unsupported position command");
        return;
    }

    // One legal-move generation and one make per word: linear in the number of moves.
    std::istringstream words(moves_text);
    std::string word;
    std::vector<unsigned> legal;
    legal.reserve(256);
    while (words >> word) {
        legal.clear();
        MoveGen::generate_legal(temp, legal);
        const auto found =
            std::find_if(legal.begin(), legal.end(), [&](unsigned m) { return move_to_uci(m) == word; });
        if (found == legal.end()) {
            send_line("info string illegal move in position command");
            return;
        }
        temp.make_move(*found);
    }
    position = std::move(temp);
}

// ---------------------------------------------------------------------------
// "go", "stop", the search thread
// ---------------------------------------------------------------------------

// The "go" words that read a signed 32-bit number; "nodes" reads an unsigned
// 64-bit one and "infinite" none.
constexpr std::pair<std::string_view, int32_t TimeMan::UciLimits::*> GO_INT_WORDS[] = {
    {"wtime", &TimeMan::UciLimits::wtime},         {"btime", &TimeMan::UciLimits::btime},
    {"winc", &TimeMan::UciLimits::winc},           {"binc", &TimeMan::UciLimits::binc},
    {"movestogo", &TimeMan::UciLimits::movestogo}, {"depth", &TimeMan::UciLimits::depth},
    {"movetime", &TimeMan::UciLimits::movetime},
};

// Reads the "go" words into limits; other words are skipped. A number that
// cannot be read ends the line: the stream's extraction leaves the field as it
// was at the end of the line, 0 before other text, the nearest limit when out
// of range.
void read_go_limits(std::istringstream& words, TimeMan::UciLimits& limits) {
    std::string word;
    while (words >> word) {
        if (word == "infinite") {
            limits.infinite = true;
        } else if (word == "nodes") {
            if (!(words >> limits.nodes)) return;
        } else {
            for (const auto& [name, field] : GO_INT_WORDS) {
                if (word == name) {
                    if (!(words >> limits.*field)) return;
                    break;
                }
            }
        }
    }
}

void UciEngine::handle_go(std::istringstream& words) {
    TimeMan::UciLimits limits;
    read_go_limits(words, limits);

    cancel_search_and_wait();

    const TimeMan::Budget budget = TimeMan::compute_budget(position, limits, time_options);
    Search::SearchLimits sl;
    const bool unbounded =
        !limits.infinite && !budget.time_managed && !budget.cap_at_maximum && limits.nodes == 0;
    sl.depth = limits.depth != 0 ? limits.depth : (unbounded ? 64 : 0);
    sl.nodes = limits.nodes;
    sl.infinite = limits.infinite;
    sl.time_managed = budget.time_managed;
    sl.cap_at_maximum = budget.cap_at_maximum;
    sl.optimum_ms = budget.optimum_ms;
    sl.maximum_ms = budget.maximum_ms;

    const uint64_t number = search_id.fetch_add(1) + 1;
    // Cleared here, before the thread exists, so a "stop" right after "go" is never lost.
    Search::clear_stop();
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stop_received = false;
    }
    search_thread.start(
        [this, root = position, sl, number]() mutable { run_search_worker(std::move(root), sl, number); });
}

void UciEngine::handle_stop() {
    if (!search_thread.joinable()) return;
    request_stop();
    search_thread.join();
}

void UciEngine::cancel_search_and_wait() {
    if (!search_thread.joinable()) return;
    // The counter moves first, so the search that the stop ends finds no line current.
    search_id.fetch_add(1);
    request_stop();
    search_thread.join();
}

void UciEngine::request_stop() {
    Search::request_stop();
    // Set and notified under the lock: a waiter tests the flag while holding
    // it, so the wake-up cannot fall between its test and its wait.
    std::lock_guard<std::mutex> lock(stop_mutex);
    stop_received = true;
    stop_signal.notify_all();
}

void UciEngine::run_search_worker(Position root, Search::SearchLimits limits, uint64_t number) {
    auto on_info = [this, number](const Search::SearchInfo& info) {
        send_search_line(format_info(info), number);
    };
    const SearchResult result = Search::search_position(root, limits, on_info);

    std::vector<unsigned> legal;
    MoveGen::generate_legal(root, legal);
    std::string bestmove = "bestmove 0000";
    if (result.best_move != 0 && std::find(legal.begin(), legal.end(), result.best_move) != legal.end()) {
        bestmove = "bestmove " + move_to_uci(result.best_move);
    } else if (!legal.empty()) {
        send_search_line("info string internal error: search did not return a legal best move", number);
    } else {
        Search::SearchInfo last;
        last.depth = result.depth;
        last.seldepth = result.seldepth;
        last.score = result.score;
        last.nodes = result.nodes;
        last.time_ms = result.time_ms;
        last.nps = Search::nodes_per_second(result.nodes, result.time_ms);
        last.hashfull = 0;
        last.pv = result.pv;
        send_search_line(format_info(last), number);
    }

    // An infinite search answers only when asked to: one that ended by itself
    // (at its depth or node limit, or with nothing left to search) holds its
    // move until "stop". The search's own stop flag is no sign of that, since
    // a node limit sets it too. A cancel moves the search number before it
    // stops the search, so a cancelled search still writes nothing.
    if (limits.infinite) {
        std::unique_lock<std::mutex> lock(stop_mutex);
        stop_signal.wait(lock, [this] { return stop_received; });
    }
    send_search_line(bestmove, number);
}

std::string UciEngine::format_info(const Search::SearchInfo& info) const {
    std::string s;
    s.reserve(128 + 6 * info.pv.size());
    s += "info depth ";
    s += std::to_string(info.depth);
    s += " seldepth ";
    s += std::to_string(info.seldepth);
    s += " multipv 1 score ";
    s += format_score(info.score);
    s += " nodes ";
    s += std::to_string(info.nodes);
    s += " time ";
    s += std::to_string(info.time_ms);
    s += " nps ";
    s += std::to_string(info.nps);
    s += " hashfull ";
    s += std::to_string(info.hashfull);
    if (!info.pv.empty()) {
        s += " pv";
        for (Move m : info.pv) {
            s += ' ';
            s += move_to_uci(m);
        }
    }
    return s;
}

// ---------------------------------------------------------------------------
// "setoption"
// ---------------------------------------------------------------------------

void UciEngine::handle_setoption(const std::string& line) {
    std::string text = line;
    size_t at = text.find("setoption");
    if (at != std::string::npos) text.erase(0, at + 9);
    text = trim(text);
    at = text.find("name");
    if (at == std::string::npos) return;
    text = trim_front(std::string_view(text).substr(at + 4));

    std::string name, value;
    at = text.find("value");
    if (at == std::string::npos) {
        name = trim(text);
    } else {
        name = trim(std::string_view(text).substr(0, at));
        value = trim(std::string_view(text).substr(at + 5));
    }

    const SpinOption* opt = find_option(name);
    if (opt == nullptr) return;
    if (opt->kind == OptionKind::SearchParam) {
        // Safe during a search: the search module stores each parameter atomically.
        Search::set_see_param(name, parse_int_or(value, 0));
        return;
    }

    int32_t* field = nullptr;
    switch (opt->kind) {
        case OptionKind::Hash:
            // The tables belong to the search thread while it runs.
            cancel_search_and_wait();
            field = &hash_mb;
            break;
        case OptionKind::MoveOverhead:
            field = &time_options.move_overhead_ms;
            break;
        case OptionKind::MinThinkingTime:
            field = &time_options.min_thinking_ms;
            break;
        case OptionKind::SlowMover:
            field = &time_options.slow_mover_pct;
            break;
        case OptionKind::SearchParam:
            return;
    }
    *field = std::clamp(parse_int_or(value, *field), opt->min, opt->max);
    if (opt->kind == OptionKind::Hash) make_hash_tables();
}

// Address space that the hash tables must leave free, for the engine's other
// needs: a search takes some tens of KiB of it, and making a table again takes
// a 2 MiB spare for its alignment while the old pawn table still exists.
constexpr size_t HEADROOM_BYTES = size_t(4) << 20;

// The tables' memory is committed here, so a GUI that waits for "readyok" after
// "setoption" has waited for it, and no search pays for it later. Tables that
// took the last of the address space (ulimit -v) would leave a later command to
// fail instead: they count as made only when the headroom is still there.
void UciEngine::make_hash_tables() {
    if (Search::set_hash_size_mb(uint64_t(hash_mb))) {
        void* const probe = mmap(nullptr, HEADROOM_BYTES, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (probe != MAP_FAILED) {
            munmap(probe, HEADROOM_BYTES);
            return;
        }
    }
    // Without its tables, or room beside them, the engine cannot play. It says
    // which size it could not get and ends with a failure status: an exit, not a
    // signal, so that no core file of a process this large is written.
    std::cerr << "Vellowind: not enough memory for Hash " << hash_mb << " MiB" << std::endl;
    std::exit(EXIT_FAILURE);
}

// ---------------------------------------------------------------------------
// "ucinewgame", "eval", "evaltrace"
// ---------------------------------------------------------------------------

void UciEngine::handle_ucinewgame() {
    cancel_search_and_wait();
    Search::new_game();
    std::string err;
    if (!load_start_position(position, err)) position.clear();
}

// Both evaluation commands may run beside a search: they go through a private
// pawn entry and this thread's own trace state, never the search's pawn table.
void UciEngine::handle_eval() {
    send_line("eval cp " + std::to_string(evaluate_diagnostic(position)));
}

void UciEngine::handle_evaltrace() {
    const std::string text = evaluate_trace_string(position);
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        send_line(text.substr(begin, end - begin));
        begin = end + 1;
    }
}

}  // namespace

int main(int /*argc*/, char** /*argv*/) {
    // One malloc arena for every thread. The search thread allocates only a few
    // lines per iteration, and an arena of its own would take 64 MiB of address
    // space beside the tables: under a limit (ulimit -v), a later "setoption
    // name Hash" of the same size would fail where the first one worked.
    mallopt(M_ARENA_MAX, 1);
    std::ios_base::sync_with_stdio(false);
    std::cin.tie(nullptr);
    UciEngine engine;
    engine.run();
    return 0;
}
