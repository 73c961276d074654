// ipcgw against a real mosquitto broker on this test's own loopback address and simulated
// cameras: retained states and the last will, reports, request/response, broker faults, two
// gateways, malformed requests.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "config.hpp"
#include "gwtest.hpp"
#include "ipcsim.hpp"
#include "testenv.hpp"

using namespace gwtest;
using nlohmann::json;

namespace {

std::unique_ptr<ipcsim::Camera> start_camera(int n) {
    ipcsim::Config c;
    c.ip = testenv::camera_ip(n);
    auto cam = std::make_unique<ipcsim::Camera>(c);
    EXPECT_TRUE(cam->start()) << c.ip;
    return cam;
}

// A client that connected and subscribed to `pattern` now (so it sees what is retained).
std::unique_ptr<TestClient> freshClient(const std::string& id, const std::string& pattern) {
    auto c = std::make_unique<TestClient>(id);
    EXPECT_TRUE(c->connect());
    EXPECT_TRUE(c->subscribe(pattern));
    return c;
}

std::string configError(const std::string& text) {
    try {
        ipcgw::parseConfig(text, "gw.toml");
    } catch (const ipcgw::ConfigError& e) {
        return e.what();
    }
    return "accepted";
}

}  // namespace

TEST(GatewayConfig, ErrorsNameFileLineAndKey) {
    const std::string head = "[mqtt]\nclient_id = \"gw\"\n";
    EXPECT_EQ(configError("[mqtt]\nclient_id = \"gw\"\nport = \"1883\"\n"), "gw.toml:3: mqtt.port: must be an integer");
    EXPECT_EQ(configError(head + "qos = 2\n[[camera]]\nname=\"a\"\naddress=\"127.0.0.1\"\npassword=\"\"\n"),
              "gw.toml:3: mqtt.qos: must be between 0 and 1");
    EXPECT_EQ(configError(head + "[[camera]]\nname = \"a\"\naddress = \"10.0.0.1\"\npassword = \"x\"\nvidoe = true\n"),
              "gw.toml:7: camera[0].vidoe: unknown key");
    EXPECT_EQ(configError(head + "[[camera]]\nname = \"gate/north\"\naddress = \"10.0.0.1\"\npassword = \"x\"\n"),
              "gw.toml:4: camera[0].name: letters, digits, '-' and '_' only (1 to 64)");
    EXPECT_EQ(configError(head + "[[camera]]\nname = \"a\"\npassword = \"x\"\n"), "gw.toml:3: camera[0].address: missing");
    EXPECT_EQ(configError(head + "[[camera]]\nname = \"a\"\naddress = \"10.0.0.1\"\npassword = \"x\"\n" +
                          "[[camera]]\nname = \"b\"\naddress = \"10.0.0.2\"\npassword = \"x\"\ntcp_port = 5002\n"),
              "gw.toml:11: camera[1].tcp_port: camera[0] uses UDP: the cameras of one gateway share one transport");
    EXPECT_EQ(configError("[mqtt\n"), "gw.toml:1: Error while parsing table header: expected ']', saw '\\n'");
}

TEST(GatewayConfig, DaemonDoesNotStartOnBadConfig) {
    const std::string path = testenv::workdir() + "/bad.toml";
    std::ofstream(path) << "[mqtt]\nclient_id = \"gw\"\n\n[[camera]]\nname = \"a\"\naddress = \"300.1.1.1\"\npassword = \"x\"\n";
    auto [rc, err] = run_ipcgw({"--config", path});
    EXPECT_EQ(rc, 2);
    EXPECT_EQ(err, "ipcgw: " + path + ":6: camera[0].address: not an IPv4 address\n");
}

class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(broker.start());
        cam = start_camera(0);
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(client.subscribe("site/#"));
        ASSERT_TRUE(client.subscribe("client/#"));
    }
    // A gateway for the camera "north" on camera 0.
    std::unique_ptr<Gateway> startGateway(const std::string& extra = {}, const std::string& extraMqtt = {}) {
        auto gw = std::make_unique<Gateway>(write_config("gw-a", {{"north", testenv::camera_ip(0)}}, extraMqtt, extra));
        EXPECT_TRUE(gw->start());
        EXPECT_TRUE(client.waitJson("site/north/state", "state", "online")) << gw->log();
        EXPECT_TRUE(client.wait([](const Message& m) { return m.topic == "site/gateway/gw-a" && m.payload == "online"; }));
        return gw;
    }
    json request(const std::string& cameraName, const json& body, const std::string& correlation) {
        client.publish("site/" + cameraName + "/request", body.dump(), "client/replies", correlation);
        auto r = client.wait([&](const Message& m) { return m.topic == "client/replies" && m.correlation == correlation; });
        return r ? r->json() : json();
    }

    TestBroker broker;
    std::unique_ptr<ipcsim::Camera> cam;
    TestClient client{"test-client"};
};

TEST_F(GatewayTest, RetainedStatesAndLastWill) {
    auto gw = startGateway();
    auto late = freshClient("late", "site/#");
    auto state = late->waitTopic("site/north/state");
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->retain);
    json s = state->json();
    EXPECT_EQ(s["state"], "online");
    EXPECT_EQ(s["reconnects"], 0);
    EXPECT_EQ(s["error"], nullptr);
    EXPECT_EQ(s["gateway"], "gw-a");
    EXPECT_EQ(s["since"].get<std::string>().size(), std::strlen("2026-01-01T00:00:00.000Z"));
    auto avail = late->waitTopic("site/gateway/gw-a");
    ASSERT_TRUE(avail);
    EXPECT_TRUE(avail->retain);
    EXPECT_EQ(avail->payload, "online");

    gw->kill9();
    EXPECT_TRUE(client.wait([](const Message& m) { return m.topic == "site/gateway/gw-a" && m.payload == "offline"; }));
    auto will = freshClient("after", "site/gateway/#")->waitTopic("site/gateway/gw-a");
    ASSERT_TRUE(will);
    EXPECT_TRUE(will->retain);
    EXPECT_EQ(will->payload, "offline");
}

TEST_F(GatewayTest, CleanStopSaysStopped) {
    auto gw = startGateway();
    EXPECT_EQ(gw->terminate(), 0);
    EXPECT_TRUE(client.wait([](const Message& m) { return m.topic == "site/gateway/gw-a" && m.payload == "stopped"; }));
    auto off = client.waitJson("site/north/state", "state", "offline");
    ASSERT_TRUE(off);
    EXPECT_EQ(off->json()["error"], "gateway stopped");
    // "stopped" comes after the camera's last state.
    auto msgs = client.messages();
    auto at = [&](auto pred) { return std::find_if(msgs.begin(), msgs.end(), pred) - msgs.begin(); };
    EXPECT_LT(at([](const Message& m) { return m.topic == "site/north/state" && m.json()["state"] == "offline"; }),
              at([](const Message& m) { return m.payload == "stopped"; }));
}

TEST_F(GatewayTest, ReportsArriveAsJson) {
    auto gw = startGateway();
    ASSERT_TRUE(cam->waitReportConnection());
    std::vector<uint8_t> position(48, 0);
    std::memcpy(position.data(), "N31 E121", 8);
    const uint32_t words[] = {31230400, 121473700, 12, 1700000000};
    std::memcpy(position.data() + 32, words, sizeof words);  // little-endian host
    cam->sendReport(0xA003, {1, 2, 3, 4, 5});
    cam->sendReport(0x1001, position);

    auto alarm = client.waitJson("site/north/report", "type", 0xA003);
    ASSERT_TRUE(alarm) << gw->log();
    EXPECT_FALSE(alarm->retain);
    EXPECT_EQ(alarm->json()["bytes"], 5);
    EXPECT_EQ(alarm->json()["data"], "AQIDBAU=");
    auto pos = client.waitJson("site/north/report", "type", 0x1001);
    ASSERT_TRUE(pos);
    json p = pos->json();
    EXPECT_EQ(p["bytes"], 48);
    EXPECT_EQ(p["data"], "TjMxIEUxMjEAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAADAidwBpIo9BwwAAAAA8VNl");
    EXPECT_EQ(p["text"], "N31 E121");
    EXPECT_DOUBLE_EQ(p["latitude"].get<double>(), 31.2304);
    EXPECT_DOUBLE_EQ(p["longitude"].get<double>(), 121.4737);
    EXPECT_EQ(p["altitude"], 12);
}

TEST_F(GatewayTest, RequestResponseWithCorrelationData) {
    auto gw = startGateway();
    json r = request("north", {{"op", "ptz"}, {"action", "right"}, {"step", 30}}, "req-1");
    EXPECT_EQ(r["result"], 0) << r;
    EXPECT_EQ(r["name"], "IPCSDK_OK");
    EXPECT_EQ(cam->ptz().pan, 30);

    // Without a response topic the reply goes to PREFIX/CAMERA/response.
    client.publish("site/north/request", R"({"op": "ptz", "action": "position"})", "", "req-2");
    auto pos = client.wait([](const Message& m) { return m.topic == "site/north/response" && m.correlation == "req-2"; });
    ASSERT_TRUE(pos);
    EXPECT_EQ(pos->json()["record"]["pan"], 30);
}

TEST_F(GatewayTest, SettingGetAndSetThroughRequests) {
    auto gw = startGateway();
    json ntp = {{"word1", 0x01020304}, {"word2", 7}, {"number", 123}, {"block", std::string(252, '0')}};
    json set = request("north", {{"op", "set"}, {"setting", "ntp-conf"}, {"record", ntp}}, "set-1");
    EXPECT_EQ(set["result"], 0) << set;
    EXPECT_EQ(set["name"], "IPCSDK_OK");
    auto wire = cam->record(3, 8);
    ASSERT_GE(wire.size(), 10u);
    EXPECT_EQ(std::vector<uint8_t>(wire.begin(), wire.begin() + 10),
              (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 0, 7, 0, 123}));
    json got = request("north", {{"op", "get"}, {"setting", "ntp-conf"}}, "get-1");
    EXPECT_EQ(got["result"], 0) << got;
    EXPECT_EQ(got["record"], ntp);
}

TEST_F(GatewayTest, EveryMalformedRequestAnswered) {
    auto gw = startGateway();
    cam->clearRequests();
    const std::pair<std::string, std::string> cases[] = {
        {"{\"op\": ", "not JSON: syntax error at byte 8"},
        {"[1, 2]", "a request is a JSON object with \"op\""},
        {"{\"op\": \"fly\"}", "unknown op \"fly\": one of get, set, ptz, preset, snapshot, info"},
        {"{\"op\": \"get\"}", "\"setting\" missing: a setting name such as \"video-param\""},
        {"{\"op\": \"get\", \"setting\": \"video-param\", \"count\": 0}", "\"count\" must be an integer from 1 to 1024"},
        {"{\"op\": \"preset\", \"action\": \"goto\", \"number\": 300}", "\"number\" must be an integer from 1 to 255"},
        {"{\"op\": \"ptz\", \"action\": \"up\", \"speed\": 1}", "unknown field \"speed\" for op ptz"},
        {"{\"op\": \"set\", \"setting\": \"video-param\"}",
         "\"record\" missing: the record as get prints it (an object, or an array)"},
    };
    int i = 0;
    for (const auto& [body, error] : cases) {
        const std::string corr = "bad-" + std::to_string(i++);
        client.publish("site/north/request", body, "client/replies", corr);
        auto r = client.wait([&](const Message& m) { return m.topic == "client/replies" && m.correlation == corr; });
        ASSERT_TRUE(r) << body;
        json j = r->json();
        EXPECT_EQ(j["result"], nullptr) << body;
        EXPECT_EQ(j["name"], "bad-request") << body;
        EXPECT_EQ(j["error"], error) << body;
    }
    json unknown = request("north", {{"op", "get"}, {"setting", "no-such-setting"}}, "unknown");
    EXPECT_EQ(unknown["result"], nullptr);
    EXPECT_EQ(unknown["name"], "bad-request");
    EXPECT_EQ(unknown["error"], "unknown setting \"no-such-setting\"");
    json tooBig = {{"word1", 4294967296LL}, {"word2", 0}, {"number", 0}, {"block", std::string(252, '0')}};
    json misfit = request("north", {{"op", "set"}, {"setting", "ntp-conf"}, {"record", tooBig}}, "misfit");
    EXPECT_EQ(misfit["name"], "bad-request");
    EXPECT_EQ(misfit["error"].get<std::string>().rfind("\"record\": field \"word1\"", 0), 0u) << misfit;
    EXPECT_TRUE(cam->requests().empty());  // nothing of it reached the camera
    // Still up and serving.
    EXPECT_EQ(request("north", {{"op", "ptz"}, {"action", "up"}, {"step", 5}}, "after")["result"], 0);
}

TEST_F(GatewayTest, FloodAnsweredInOrderWithBusyBeyondTheQueue) {
    auto gw = startGateway("[gateway]\nrequest_queue = 2\nworkers = 1\n");
    ipcsim::Scripted slow;
    slow.delay = std::chrono::milliseconds(300);
    slow.times = 20;
    cam->script(slow);
    const int n = 8;
    for (int i = 0; i < n; ++i)
        client.publish("site/north/request", R"({"op": "ptz", "action": "left", "step": 1})", "client/replies",
                       "f" + std::to_string(i));
    std::vector<int> served;
    int busy = 0;
    for (int i = 0; i < n; ++i) {
        const std::string corr = "f" + std::to_string(i);
        auto r = client.wait([&](const Message& m) { return m.topic == "client/replies" && m.correlation == corr; },
                             std::chrono::seconds(20));
        ASSERT_TRUE(r) << corr;
        json j = r->json();
        if (j["name"] == "busy") {
            ++busy;
            EXPECT_EQ(j["error"], "2 requests are waiting for north; try again later");
        } else {
            EXPECT_EQ(j["result"], 0);
        }
    }
    EXPECT_GE(busy, n - 3);  // one running, two waiting
    // The served ones replied in the order they were sent.
    for (const auto& m : client.messages())
        if (m.topic == "client/replies" && m.json()["name"] != "busy") served.push_back(std::stoi(m.correlation.substr(1)));
    EXPECT_TRUE(std::is_sorted(served.begin(), served.end()));
    EXPECT_EQ(static_cast<int>(served.size()), n - busy);
}

TEST_F(GatewayTest, BrokerRestartedUnderARunningGateway) {
    auto gw = startGateway();
    ASSERT_TRUE(cam->waitReportConnection());
    broker.stop();
    for (int i = 0; i < 500 && gw->log().find("broker connection lost") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    cam->sendReport(0xA003, {9, 9});  // QoS 1: kept until the broker is back
    // The broker lost every retained message (no persistence): what comes back is republished.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(broker.start());
    auto fresh = freshClient("fresh", "site/#");
    auto state = fresh->waitJson("site/north/state", "state", "online", std::chrono::seconds(20));
    ASSERT_TRUE(state) << gw->log();
    EXPECT_TRUE(state->retain);
    EXPECT_TRUE(fresh->wait([](const Message& m) { return m.topic == "site/gateway/gw-a" && m.payload == "online"; }));
    EXPECT_NE(gw->log().find("broker connected, 1 queued report(s) sent"), std::string::npos) << gw->log();
}

TEST_F(GatewayTest, TwoGatewaysServeOneClient) {
    auto south = start_camera(1);
    Gateway a(write_config("gw-a", {{"north", testenv::camera_ip(0)}}));
    Gateway b(write_config("gw-b", {{"south", testenv::camera_ip(1)}}));
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    auto n = client.waitJson("site/north/state", "state", "online");
    auto s = client.waitJson("site/south/state", "state", "online");
    ASSERT_TRUE(n && s) << a.log() << b.log();
    EXPECT_EQ(n->json()["gateway"], "gw-a");
    EXPECT_EQ(s->json()["gateway"], "gw-b");
    EXPECT_EQ(request("north", {{"op", "ptz"}, {"action", "up"}, {"step", 7}}, "to-north")["result"], 0);
    EXPECT_EQ(request("south", {{"op", "ptz"}, {"action", "down"}, {"step", 0}}, "to-south")["result"], 0);
    EXPECT_EQ(cam->ptz().tilt, 7);
    EXPECT_EQ(south->ptz().tilt, 0);
    // Each request was answered once, by the gateway that holds the camera.
    int replies = 0;
    for (const auto& m : client.messages()) replies += m.topic == "client/replies";
    EXPECT_EQ(replies, 2);
}

TEST_F(GatewayTest, QosZeroReportsWhileTheBrokerIsAwayAreCountedDropped) {
    auto gw = startGateway({}, "qos = 0\n");
    ASSERT_TRUE(cam->waitReportConnection());
    broker.stop();
    for (int i = 0; i < 500 && gw->log().find("broker connection lost") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    cam->sendReport(0xA003, {1});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cam->sendReport(0xA003, {2});
    ASSERT_TRUE(broker.start());
    for (int i = 0; i < 1000 && gw->log().find("broker connected, 2 report(s) dropped so far") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(gw->log().find("broker connected, 2 report(s) dropped so far"), std::string::npos) << gw->log();
}

TEST_F(GatewayTest, CameraTakenAwayAndBackSeenInItsStateTopic) {
    auto gw = startGateway();
    client.clear();
    cam->stop();
    auto off = client.waitJson("site/north/state", "state", "offline", std::chrono::seconds(30));
    ASSERT_TRUE(off) << gw->log();
    EXPECT_TRUE(off->retain);
    EXPECT_TRUE(off->json()["error"].is_string());
    ASSERT_TRUE(cam->start());
    auto back = client.waitJson("site/north/state", "state", "online", std::chrono::seconds(60));
    ASSERT_TRUE(back) << gw->log();
    EXPECT_EQ(back->json()["reconnects"], 1);
    EXPECT_EQ(back->json()["error"], nullptr);
    EXPECT_EQ(request("north", {{"op", "ptz"}, {"action", "up"}, {"step", 3}}, "after-return")["result"], 0);
}

TEST_F(GatewayTest, WrongPasswordSeenAsAuthFailed) {
    Gateway gw(write_config("gw-a", {{"north", testenv::camera_ip(0), "wrong"}}));
    ASSERT_TRUE(gw.start());
    auto failed = client.waitJson("site/north/state", "state", "auth-failed");
    ASSERT_TRUE(failed) << gw.log();
    EXPECT_EQ(failed->json()["error"], "the camera refused user name or password");
    json r = request("north", {{"op", "info"}}, "info");
    EXPECT_EQ(r["name"], "not online");
    EXPECT_EQ(r["error"], "the camera is not online");
}

TEST_F(GatewayTest, SnapshotPublishesThePicturePair) {
    auto gw = startGateway();
    json r = request("north", {{"op", "snapshot"}}, "snap");
    ASSERT_EQ(r["result"], 0) << r;
    auto one = client.waitTopic("site/north/snapshot/1");
    auto two = client.waitTopic("site/north/snapshot/2");
    ASSERT_TRUE(one && two);
    const auto p1 = ipcsim::Camera::samplePicture(64, 48, 1), p2 = ipcsim::Camera::samplePicture(64, 48, 2);
    EXPECT_EQ(one->payload, std::string(p1.begin(), p1.end()));
    EXPECT_EQ(two->payload, std::string(p2.begin(), p2.end()));
    EXPECT_FALSE(one->retain);
    EXPECT_EQ(r["record"]["bytes1"], p1.size());
}

TEST(GatewayBroker, BrokerDownAtStartIsWaitedFor) {
    auto cam = start_camera(0);
    Gateway gw(write_config("gw-a", {{"north", testenv::camera_ip(0)}}));
    ASSERT_TRUE(gw.start());
    for (int i = 0; i < 500 && gw.log().find("not reachable") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    TestBroker broker;
    ASSERT_TRUE(broker.start());
    auto client = freshClient("late-broker", "site/#");
    EXPECT_TRUE(client->waitJson("site/north/state", "state", "online", std::chrono::seconds(20))) << gw.log();
    EXPECT_TRUE(client->wait([](const Message& m) { return m.topic == "site/gateway/gw-a" && m.payload == "online"; }));
}
