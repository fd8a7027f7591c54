#pragma once
// The local exchange simulator as a child process, for integration tests: started once per
// test program, trusted through SSL_CERT_FILE, driven through its plain-HTTP control port.

#include <gtest/gtest.h>
#include <sys/types.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "core/connector/base_connector.hpp"
#include "core/rest/https_client.hpp"

namespace corvane::testing {

class SimProcess {
public:
    SimProcess();  // throws if the simulator does not come up within 30 s
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    std::string ws_url(const std::string& path) const;
    https::Endpoint rest(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    nlohmann::json get(const std::string& target) const;
    nlohmann::json post(const std::string& target) const;
    nlohmann::json frames() const { return get("/frames"); }
    nlohmann::json requests() const { return get("/requests"); }
    void reset() const { post("/reset"); }

private:
    nlohmann::json call(const char* method, const std::string& target) const;

    pid_t pid = -1;
    int ws_port = 0;
    int rest_port = 0;
    int control_port = 0;
};

// The simulator shared by every integration test of this program; nullptr (and the test is
// skipped) when CORVANE_SIM_PYTHON is not set.
SimProcess* shared_sim();

// Base of the tests that talk to the simulator: skipped when there is none, and each test
// starts with the simulator's records, faults and feed rate reset.
class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = shared_sim();
        if (sim == nullptr) GTEST_SKIP() << "CORVANE_SIM_PYTHON not set: no simulator";
        sim->reset();
    }
    SimProcess* sim = nullptr;
};

// The same, for tests that count the simulator's REST connections: those kept from earlier
// tests are closed first.
class RestSimulatorTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        if (sim == nullptr) return;
        sim->post("/rest?drop-idle=fin");
        sim->reset();
    }
};

// Captures standard output for its lifetime, also when an assertion leaves the test early.
class StdoutCapture {
public:
    StdoutCapture() { ::testing::internal::CaptureStdout(); }
    ~StdoutCapture() {
        if (done) return;
        const std::string captured = ::testing::internal::GetCapturedStdout();
        // GoogleTest reports failures on standard output: give them back.
        if (::testing::Test::HasFailure()) std::fputs(captured.c_str(), stdout);
    }
    std::string text() {
        done = true;
        return ::testing::internal::GetCapturedStdout();
    }

private:
    bool done = false;
};

// Polls `condition` every 10 ms until it holds or `limit` passes; returns whether it held.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// The next data message within `wait`, past the connection events queued with them, as a plain
// Python reader takes it. Throws "No more messages" as take() does.
std::optional<InboundMessage> take_data(BaseExchangeConnector& c, std::chrono::milliseconds wait);

}  // namespace corvane::testing

#define REQUIRE_SIM(sim)                                                    \
    ::corvane::testing::SimProcess* sim = ::corvane::testing::shared_sim(); \
    if (sim == nullptr) GTEST_SKIP() << "CORVANE_SIM_PYTHON not set: no simulator"
