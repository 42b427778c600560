// --json output parsed back.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "toolHarness.h"

namespace voktest {
namespace {

using nlohmann::json;

json runJson(const VirtualTree& tree, std::vector<std::string> args, const Environment& env = {}) {
    args.push_back("--json");
    RunResult r = runVok(tree, args, "", env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return json::parse(r.out);  // throws, failing the test, on anything but JSON
}

TEST(VokJson, ListAndInfoDescribeTheToken) {
    VirtualTree tree;
    std::string node = tree.addToken(1, 2);

    EXPECT_EQ(runJson(tree, {"list"}),
              json::parse(R"([{"index": 0, "path": ")" + node +
                          R"(", "busNumber": 1, "deviceNumber": 2, "productId": 1025}])"));
    json list = runJson(tree, {"list", "--reset-and-identify"});
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), 1u);
    const json& row = list[0];
    EXPECT_EQ(row["index"], 0);
    EXPECT_EQ(row["path"], node);
    EXPECT_EQ(row["answers"], true);
    EXPECT_EQ(row["tokenId"], "564f4b0000000001");
    EXPECT_EQ(row["memorySize"], 4096);
    EXPECT_EQ(row["protocolLevel"], 22);

    json info = runJson(tree, {"info"});
    EXPECT_EQ(info["path"], node);
    EXPECT_EQ(info["versionHigh"], 1);
    EXPECT_EQ(info["versionLow"], 2);
    EXPECT_EQ(info["memoryModel"], 2);
    EXPECT_EQ(info["pinAddress"], 4096 - 34);
    EXPECT_EQ(info["pinControlAddress"], 4096 - 2);
    EXPECT_EQ(info["flagA"], 1);
    EXPECT_EQ(info["flagB"], 0);
}

TEST(VokJson, EmptyTreeListsNothing) {
    VirtualTree tree;
    RunResult r = runVok(tree, {"list", "--json"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(json::parse(r.out), json::array());
}

TEST(VokJson, MemoryAndSettings) {
    VirtualTree tree;
    tree.addToken(1, 2);
    json w = runJson(tree, {"write", "--offset", "9", "--hex", "0102ff"});
    EXPECT_EQ(w["length"], 3);
    EXPECT_EQ(w["block"], nullptr);
    EXPECT_EQ(w["response"]["status"], 0);
    EXPECT_EQ(w["response"]["protocolLevel"], 22);

    json r = runJson(tree, {"read", "--offset", "8", "--length", "5"});
    EXPECT_EQ(r["offset"], 8);
    EXPECT_EQ(r["data"], "000102ff00");

    TempDir files;
    std::string saved = files.path() + "/saved.bin";
    json toFile = runJson(tree, {"read", "--offset", "8", "--length", "5", "-o", saved});
    EXPECT_FALSE(toFile.contains("data"));
    EXPECT_EQ(toFile["length"], 5);
    EXPECT_EQ(toFile["response"]["status"], 0);

    json sec = runJson(tree, {"secparams", "get"});
    EXPECT_EQ(sec["secParameter1"], 0);
    EXPECT_EQ(sec["secParameter2"], 4);
    EXPECT_EQ(sec["secParameter3"], 3);
    EXPECT_EQ(sec["secParameter4"], 30);

    json vendor = runJson(tree, {"block", "vendor-id", "-b", "3", "--set", "0xbeef"},
                          {{"VOKTEST_PIN", "1234"}});
    EXPECT_EQ(vendor["block"], 3);
    EXPECT_EQ(runJson(tree, {"block", "vendor-id", "-b", "3"})["vendorId"], 0xBEEF);
    EXPECT_EQ(runJson(tree, {"block", "attr", "-b", "3"})["attributes"], 3);
}

TEST(VokJson, RawRecordComesBack) {
    VirtualTree tree;
    tree.addToken(1, 2);
    json raw = runJson(tree, {"raw", "30", "--fill-id"});
    EXPECT_EQ(raw["ok"], true);
    EXPECT_EQ(raw["status"], 0);
    EXPECT_EQ(raw["length"], 128);
    std::string record = raw["record"];
    ASSERT_EQ(record.size(), 256u);
    EXPECT_EQ(record.substr(0, 2), "30");
    EXPECT_EQ(record.substr(2 * 56, 16), "564f4b0000000001");  // token identifier
    EXPECT_EQ(record.substr(2 * 64, 8), "00120216");           // status, version, model, level

    // A PIN given through the PIN options is not printed back.
    json withPin = runJson(tree, {"raw", "30", "--fill-id", "--pin-env", "VOKTEST_PIN"},
                           {{"VOKTEST_PIN", "1234"}});
    std::string back = withPin["record"];
    EXPECT_EQ(back.substr(2 * 8, 64), std::string(64, '0'));
}

TEST(VokJson, DoctorReportsFindings) {
    VirtualTree tree;
    tree.addToken(1, 2);
    json report = runJson(tree, {"doctor"});
    EXPECT_EQ(report["problems"], 0);
    EXPECT_EQ(report["usbfsRoot"], tree.root.path());
    EXPECT_EQ(report["rootSource"], "USB_DEVFS_PATH");
    EXPECT_EQ(report["lockDirectory"], tree.locks.path());
    ASSERT_TRUE(report["findings"].is_array());
    for (const json& finding : report["findings"]) EXPECT_EQ(finding["level"], "ok") << finding;
}

}  // namespace
}  // namespace voktest
