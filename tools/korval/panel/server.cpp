// The panel's HTTP server (cpp-httplib). It serves the page and its files, answers the page's requests
// as JSON, and pushes what changes (port levels, counts, plot columns) to the page as server-sent events,
// twenty a second, so the page never asks for samples.
//
// Guard: a request is served only when it carries the panel's token (the X-Korval-Token header, or
// ?token= where a browser cannot set a header: the page's address, its files and the event stream), names
// this server in its Host header (so a name that another site rebinds to this machine gets nothing) and,
// when it has an Origin, comes from this server's own origin. Requests that change something must be
// JSON, which no form of another page can send without asking first. Anything else is refused before any
// handler runs, so it changes nothing.
#include <algorithm>
#include <chrono>
#include <deque>
#include <shared_mutex>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "korval/sim.h"
#include "panel.h"

namespace korval::tool::panel {

namespace {

constexpr auto kTick = std::chrono::milliseconds(50);
constexpr size_t kKeptEvents = 64;
constexpr int kMaxEventStreams = 4;
constexpr size_t kWorkers = 12;

bool same_token(std::string_view given, std::string_view token)
{
    if (given.size() != token.size() || token.empty()) return false;
    unsigned char diff = 0;  // compares every byte, so the time taken tells nothing about the token
    for (size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
    return diff == 0;
}

// The events the page receives: the newest few, numbered, so that each stream sends each event once.
class Hub {
public:
    void publish(std::string event)
    {
        {
            std::lock_guard lock(mutex_);
            events_.emplace_back(++last_, std::move(event));
            if (events_.size() > kKeptEvents) events_.pop_front();
        }
        changed_.notify_all();
    }
    // Waits (at most a second) for events after `seen`; false when the server stops.
    bool next(uint64_t& seen, std::string& out)
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(1), [&] { return stopping_ || last_ > seen; });
        if (stopping_) return false;
        out.clear();
        for (const auto& [n, text] : events_)
            if (n > seen) out += text;
        seen = last_;
        return true;
    }
    uint64_t last()
    {
        std::lock_guard lock(mutex_);
        return last_;
    }
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<uint64_t, std::string>> events_;
    uint64_t last_ = 0;
    bool stopping_ = false;
};

struct Context {
    const ServerOptions& options;
    std::vector<std::unique_ptr<Board>>& boards;
    std::vector<std::string> hosts;  // the Host header values that name this server
    std::string port_suffix;         // ":PORT"
    Hub hub;
    std::atomic<int> streams{0};
    // The list grows while the panel runs (boards plugged in), never shrinks, so a Board* stays valid:
    // a board that left stays listed with its error. Appends take the lock alone.
    std::shared_mutex boards_mutex;
    std::atomic<bool> boards_changed{false};  // set by the board notification
    std::atomic<uint64_t> board_list{0};      // the list's version, sent to the page
};

// The library's notification thread: the publishing loop looks again.
void KORVAL_CALLBACK on_board_event(void* context, const KorvalBoardEvent*)
{
    static_cast<Context*>(context)->boards_changed = true;
}

// Boards that arrived: GetDevices places them, and each new usable slot joins the list.
void add_arrived_boards(Context& c)
{
    const uint32_t mask = GetDevices();
    std::unique_lock lock(c.boards_mutex);
    for (uint32_t slot = 0; slot < KORVAL_SLOT_COUNT; ++slot) {
        if ((mask & (1u << slot)) == 0) continue;
        bool listed = false;
        for (auto& b : c.boards) listed = listed || b->slot() == slot;
        if (!listed) c.boards.push_back(std::make_unique<Board>(slot, c.options.sim, 0));
    }
}

void reply(httplib::Response& res, const Json& body, int status = 200)
{
    res.status = status;
    res.set_content(json_text(body), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& why)
{
    res.status = status;
    res.set_content("korval panel: " + why + "\n", "text/plain");
}

bool allowed(Context& c, const httplib::Request& req, httplib::Response& res)
{
    const std::string host = req.get_header_value("Host");
    // Listening beyond loopback, the page may be reached by any of the machine's names: the port must match.
    const bool known_host = std::find(c.hosts.begin(), c.hosts.end(), host) != c.hosts.end() ||
                            (!c.options.loopback && host.ends_with(c.port_suffix));
    if (!known_host) {
        refuse(res, 403, "this server is not '" + host + "'");
        return false;
    }
    if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + host) {
        refuse(res, 403, "requests from another origin are refused");
        return false;
    }
    const std::string token =
        req.has_header("X-Korval-Token") ? req.get_header_value("X-Korval-Token") : req.get_param_value("token");
    if (!same_token(token, c.options.token)) {
        refuse(res, 403, "the request lacks the panel's token (open the address the panel printed)");
        return false;
    }
    if (req.method != "GET" && req.method != "HEAD") {
        if (req.method != "POST") {
            refuse(res, 405, "only GET and POST");
            return false;
        }
        if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
            refuse(res, 415, "requests that change something are JSON");
            return false;
        }
    }
    return true;
}

// An integer field of a request, at most `limit`; anything else (a fraction, a negative number, a value
// that would wrap) is refused as a bad request rather than narrowed.
uint32_t whole(const Json& body, const char* key, uint32_t limit)
{
    const Json& v = body.at(key);
    if (!v.is_number_unsigned() || v.get<uint64_t>() > limit)
        throw std::invalid_argument(std::string("'") + key + "' must be a whole number from 0 to " +
                                    std::to_string(limit));
    return static_cast<uint32_t>(v.get<uint64_t>());
}

double real(const Json& body, const char* key)
{
    const Json& v = body.at(key);
    if (!v.is_number()) throw std::invalid_argument(std::string("'") + key + "' must be a number");
    return v.get<double>();
}

// The board a request names by "slot", or null (with the reply made).
Board* board_of(Context& c, const Json& body, httplib::Response& res)
{
    if (body.is_object() && body.contains("slot") && body["slot"].is_number_unsigned()) {
        const uint64_t slot = body["slot"].get<uint64_t>();
        std::shared_lock lock(c.boards_mutex);
        for (auto& b : c.boards)
            if (b->slot() == slot) return b.get();
    }
    reply(res, {{"ok", false}, {"error", error_json("no such board in this panel", ERROR_INVALID_INDEX)}}, 404);
    return nullptr;
}

// A JSON call: parses the body, finds the board, runs `act`; bad bodies get 400 with the reason.
template <typename Act>
void json_call(Context& c, httplib::Server& server, const char* path, Act act)
{
    server.Post(path, [&c, act](const httplib::Request& req, httplib::Response& res) {
        const Json body = Json::parse(req.body, nullptr, false);
        if (body.is_discarded())
            return reply(res, {{"ok", false}, {"error", error_json("the request is not JSON", ERROR_INVALID_DATA)}},
                         400);
        Board* board = board_of(c, body, res);
        if (board == nullptr) return;
        try {
            reply(res, act(*board, body));
        } catch (const std::exception& e) {  // a missing field, or one of the wrong kind
            reply(res,
                  {{"ok", false},
                   {"error", error_json(std::string("bad request: ") + e.what(), ERROR_INVALID_PARAMETER)}},
                  400);
        }
    });
}

void add_board_calls(Context& c, httplib::Server& server)
{
    json_call(c, server, "/api/dio/configure",
              [](Board& b, const Json& body) { return b.dio_configure(body.at("outputs").get<std::vector<bool>>()); });
    json_call(c, server, "/api/dio/write", [](Board& b, const Json& body) {
        return b.dio_write_bit(whole(body, "bit", 0xFFFFFFFF), body.at("level").get<bool>());
    });
    json_call(c, server, "/api/dac", [](Board& b, const Json& body) {
        return b.dac_set(whole(body, "channel", 0xFFFFFFFF), static_cast<uint16_t>(whole(body, "count", 0xFFFF)));
    });
    json_call(c, server, "/api/ctr/frequency", [](Board& b, const Json& body) {
        return b.ctr_frequency(whole(body, "block", 0xFFFFFFFF), real(body, "hz"));
    });
    json_call(c, server, "/api/adc/start", [](Board& b, const Json& body) {
        AcquisitionSettings s;
        s.first = whole(body, "first", 255);
        s.last = whole(body, "last", 255);
        s.gain = static_cast<uint8_t>(whole(body, "gain", 7));
        s.rate = real(body, "rate");
        s.window = real(body, "window");
        s.columns = whole(body, "columns", 0xFFFFFFFF);
        if (body.contains("trigger") && !body["trigger"].is_null()) {  // {channel, slope: 1 rising | 2 falling, level}
            const Json& t = body["trigger"];
            s.trigger_channel = whole(t, "channel", 255);
            s.slope = whole(t, "slope", 2);
            s.level = real(t, "level");
        }
        return b.adc_start(s);
    });
    json_call(c, server, "/api/adc/stop", [](Board& b, const Json&) { return b.adc_stop(); });
}

// Controls of the panel's own simulated boards, for trying the page without hardware and for its tests:
// the outside levels at the ports, an analog input's signal, and what the board puts out.
void add_sim_calls(Context& c, httplib::Server& server)
{
    KorvalSim* sim = c.options.sim;
    auto result = [](uint32_t r, const char* what) {
        return r == ERROR_SUCCESS ? Json{{"ok", true}} : Json{{"ok", false}, {"error", error_json(what, r)}};
    };
    json_call(c, server, "/api/sim/inputs", [sim, result](Board& b, const Json& body) {
        std::vector<uint8_t> levels;
        for (const Json& level : body.at("levels"))
            levels.push_back(static_cast<uint8_t>(whole({{"level", level}}, "level", 255)));
        return result(
            KorvalSim_SetDigitalInputs(sim, b.sim_board(), levels.data(), static_cast<uint32_t>(levels.size())),
            "setting the simulated inputs");
    });
    json_call(c, server, "/api/sim/signal", [sim, result](Board& b, const Json& body) {
        static const char* const kKinds[] = {"constant", "sine", "square", "ramp", "noise"};
        KorvalSimAdcSignal signal{};
        const std::string kind = body.value("kind", "constant");
        const auto known = std::find(std::begin(kKinds), std::end(kKinds), kind);
        if (known == std::end(kKinds))
            throw std::invalid_argument("'kind' must be constant, sine, square, ramp or noise");
        signal.kind = static_cast<uint32_t>(known - std::begin(kKinds));
        signal.offset = real(body, "volts");
        signal.amplitude = body.contains("amplitude") ? real(body, "amplitude") : 0.0;
        signal.frequency = body.contains("hz") ? real(body, "hz") : 0.0;
        return result(KorvalSim_SetAdcSignal(sim, b.sim_board(), whole(body, "channel", 255), &signal),
                      "setting the simulated signal");
    });
    json_call(c, server, "/api/sim/state", [sim](Board& b, const Json&) {
        KorvalSimDigitalState state{};
        if (const uint32_t r = KorvalSim_GetDigitalState(sim, b.sim_board(), &state))
            return Json{{"ok", false}, {"error", error_json("reading the simulated ports", r)}};
        const uint32_t n = std::min(state.ports, KORVAL_SIM_MAX_PORTS);
        Json j = {{"ok", true},
                  {"outputs", std::vector<uint8_t>(state.outputs, state.outputs + n)},
                  {"direction", std::vector<uint8_t>(state.direction, state.direction + state.direction_bytes)},
                  {"levels", std::vector<uint8_t>(state.levels, state.levels + n)}};
        std::vector<uint16_t> dac(64);
        uint32_t count = static_cast<uint32_t>(dac.size());
        if (KorvalSim_GetDacValues(sim, b.sim_board(), dac.data(), &count) == ERROR_SUCCESS) {
            dac.resize(std::min<uint32_t>(count, 64));
            j["dac"] = dac;
        }
        return j;
    });
}

void add_page(Context& c, httplib::Server& server)
{
    server.Get("/", [&c](const httplib::Request&, httplib::Response& res) {
        const Asset* page = find_asset("index.html");
        std::string html(reinterpret_cast<const char*>(page->data), page->size);
        for (size_t at = html.find("{{TOKEN}}"); at != std::string::npos; at = html.find("{{TOKEN}}", at))
            html.replace(at, 9, c.options.token);
        res.set_content(html, page->type);
    });
    server.Get(R"(/assets/([A-Za-z0-9._-]+))", [](const httplib::Request& req, httplib::Response& res) {
        const Asset* asset = find_asset(req.matches[1].str());
        if (asset == nullptr || std::string_view(asset->name) == "index.html") return refuse(res, 404, "no such file");
        res.set_content(reinterpret_cast<const char*>(asset->data), asset->size, asset->type);
    });
    server.Get("/api/boards", [&c](const httplib::Request&, httplib::Response& res) {
        Json list = Json::array();
        std::shared_lock lock(c.boards_mutex);
        for (auto& b : c.boards) list.push_back(b->description());
        reply(res, {{"boards", list}, {"simulated", c.options.sim != nullptr}});
    });
    server.Get("/api/events", [&c](const httplib::Request&, httplib::Response& res) {
        if (c.streams.fetch_add(1) >= kMaxEventStreams) {
            c.streams.fetch_sub(1);
            return refuse(res, 503, "too many pages are open on this panel");
        }
        auto seen = std::make_shared<uint64_t>(c.hub.last());
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [&c, seen](size_t, httplib::DataSink& sink) {
                std::string out;
                if (!c.hub.next(*seen, out)) {
                    sink.done();
                    return true;
                }
                if (out.empty()) out = ": still here\n\n";  // keeps the connection's idle timers at bay
                return sink.write(out.data(), out.size());
            },
            [&c](bool) { c.streams.fetch_sub(1); });
    });
}

// Twenty times a second: what every board shows live, as one event for every open page.
void publish_loop(Context& c, std::atomic<bool>& stop)
{
    for (uint64_t tick = 0; !stop.load(); ++tick) {
        const auto next = std::chrono::steady_clock::now() + kTick;
        if (c.boards_changed.exchange(false)) {
            if (c.options.add_arriving) add_arrived_boards(c);
            ++c.board_list;
        }
        Json boards = Json::array();
        {
            std::shared_lock lock(c.boards_mutex);
            for (auto& b : c.boards) boards.push_back(b->live(tick % 2 == 0));
        }
        c.hub.publish("data: " + json_text({{"boards", boards}, {"list", c.board_list.load()}}) + "\n\n");
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

bool serve(const ServerOptions& options, std::vector<std::unique_ptr<Board>>& boards, std::atomic<bool>& stop,
           void (*ready)(const ServerOptions&, int port), std::string& error)
{
    Context c{options, boards, {}, {}, {}, {}, {}, {}, {}};
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_payload_max_length(64 * 1024);
    server.set_default_headers({{"Cache-Control", "no-store"},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"X-Frame-Options", "DENY"},
                                {"Content-Security-Policy",
                                 "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                                 "img-src 'self' data:; frame-ancestors 'none'; form-action 'none'"}});
    server.set_pre_routing_handler([&c](const httplib::Request& req, httplib::Response& res) {
        return allowed(c, req, res) ? httplib::Server::HandlerResponse::Unhandled
                                    : httplib::Server::HandlerResponse::Handled;
    });
    add_page(c, server);
    add_board_calls(c, server);
    if (options.sim != nullptr) add_sim_calls(c, server);

    const int port = options.port == 0 ? server.bind_to_any_port(options.host)
                                       : (server.bind_to_port(options.host, options.port) ? options.port : -1);
    if (port <= 0) {
        error = "cannot listen on " + options.host + ":" + std::to_string(options.port);
        return false;
    }
    const std::string p = ":" + std::to_string(port);
    c.port_suffix = p;
    c.hosts = {options.host.find(':') != std::string::npos ? "[" + options.host + "]" + p : options.host + p};
    if (options.loopback) c.hosts.insert(c.hosts.end(), {"127.0.0.1" + p, "localhost" + p, "[::1]" + p});

    std::thread publisher([&] { publish_loop(c, stop); });
    std::thread listener([&] { server.listen_after_bind(); });
    // Boards that arrive or leave while the panel runs: the list on the page follows.
    uint32_t watch = 0;
    if (KORVAL_RegisterBoardNotification(on_board_event, &c, 0, &watch) != ERROR_SUCCESS) watch = 0;
    ready(options, port);
    while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (watch != 0) KORVAL_UnregisterBoardNotification(watch);
    c.hub.stop();
    server.stop();
    listener.join();
    publisher.join();
    return true;
}

}  // namespace korval::tool::panel
