// vok-sim attach and detach against a stand-in for vhci-hcd's sysfs folder
// (VOKSIM_VHCI_DIR): the messages with their fixes, the line written to the
// kernel, and the guard against attaching one tree twice. The real kernel
// path runs in the guest of scripts/kernel-test.sh.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/tempDir.h"
#include "voksim/voksim.h"

using testsupport::TempDir;

namespace {

struct ToolRun {
    int status = -1;
    std::string output;  // stdout and stderr
};

std::string slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class AttachTest : public ::testing::Test {
  protected:
    TempDir tree;
    TempDir vhci;
    std::string node = voksim::createToken(tree.path(), 1, 2);

    ToolRun vokSim(const std::string& arguments, const std::string& vhciDir) {
        const std::string output = vhci.path() + "/output";
        const std::string command = "VOKSIM_VHCI_DIR='" + vhciDir + "' " VOK_SIM_BINARY " " +
                                    arguments + " >'" + output + "' 2>&1";
        const int status = std::system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(output)};
    }
    void writeStatus(const char* stateOfPort0) {
        std::ofstream status(vhci.path() + "/status");
        status << "hub port sta spd dev      sockfd local_busid\n"
               << "hs  0000 " << stateOfPort0 << " 000 00000000 000000 0-0\n"
               << "ss  0008 004 000 00000000 000000 0-0\n";
        std::ofstream(vhci.path() + "/attach").flush();
    }
};

TEST_F(AttachTest, SaysHowToLoadVhciHcdWhenItIsMissing) {
    const ToolRun run = vokSim("attach " + tree.path(), vhci.path() + "/missing");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("modprobe vhci-hcd"), std::string::npos) << run.output;
}

TEST_F(AttachTest, SaysWhatToDoWhenNoPortIsFree) {
    writeStatus("006");
    const ToolRun run = vokSim("attach " + tree.path(), vhci.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("no free high-speed port"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("vok-sim detach"), std::string::npos) << run.output;
}

// A stand-in attach file holds no reference to the socket, so the device
// side sees the connection end at once, as after a detach.
TEST_F(AttachTest, WritesPortSocketDeviceAndSpeedAndServesUntilDetached) {
    writeStatus("004");
    const ToolRun run = vokSim("attach " + tree.path(), vhci.path());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(node + ": attached on port 0"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("detached by the kernel"), std::string::npos) << run.output;
    unsigned port = 9, socket = 0, devid = 0, speed = 0;
    std::istringstream(slurp(vhci.path() + "/attach")) >> port >> socket >> devid >> speed;
    EXPECT_EQ(port, 0U);
    EXPECT_GT(socket, 2U);
    EXPECT_EQ(devid, 0x10002U) << "bus 1, device 2";
    EXPECT_EQ(speed, 3U) << "high speed";
    EXPECT_NE(access((tree.path() + "/.attached").c_str(), F_OK), 0) << "the record is removed";
}

TEST_F(AttachTest, ATreeIsAttachedOnceAndAStaleRecordIsIgnored) {
    writeStatus("004");
    std::ofstream(tree.path() + "/.attached") << getpid() << " 0\n";
    ToolRun run = vokSim("attach " + tree.path(), vhci.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("already attached by process " + std::to_string(getpid())),
              std::string::npos)
        << run.output;
    // A process that is gone (a kill -9) leaves a record that means nothing.
    std::ofstream(tree.path() + "/.attached") << 999999999 << " 0\n";
    run = vokSim("detach " + tree.path(), vhci.path());
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.output.find("is not attached"), std::string::npos) << run.output;
    EXPECT_EQ(vokSim("attach " + tree.path(), vhci.path()).status, 0);
}

}  // namespace
