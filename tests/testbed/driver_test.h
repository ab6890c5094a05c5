// The fixture of the tests that drive the driver against the virtual scanner.
// Kept out of testbed.h, so that the tests that link no driver (sim_*) see no
// driver header.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "testbed/testbed.h"
#include "transport/usbio_linux_10.h"

namespace testbed {

// A ScannerTest with the driver up: SetUp runs prepareScanner() (device state
// the driver must find at start, such as an image source), then connect();
// TearDown stops any scan and runs TerminateDriver. A fixture that brings the
// driver up itself (with a trace, or not at all) returns false from
// connectInSetUp() and calls connect() or connectTraced().
class DriverTest : public ScannerTest {
protected:
    virtual bool connectInSetUp() const { return true; }
    virtual void prepareScanner() {}

    void SetUp() override
    {
        ScannerTest::SetUp();
        if (HasFatalFailure()) return;
        prepareScanner();
        if (connectInSetUp()) connect();
    }

    void TearDown() override
    {
        StopScan();
        TerminateDriver();
        ScannerTest::TearDown();
        logGuard_.reset();
    }

    // InitializeDriver and InitializeScanner, then an empty transcript and gErrCode 0.
    void connect() { connected(InitializeDriver()); }

    // InitializeDriver with the trace at `level` into an emptied /tmp/DrvLog
    // (restored after the test, which says DRVLOG_RESOURCE_LOCK). The
    // configuration goes once read: the level stays in this process, and
    // processes beside it that hold no lock do not log into the same files.
    bool initializeDriverAtLevel(unsigned level)
    {
        if (!logGuard_) logGuard_ = std::make_unique<DrvLogGuard>();
        if (!writeDebugConf({"DebugLevel " + std::to_string(level)})) return false;
        const bool result = InitializeDriver();
        std::filesystem::remove(kDrvLogDir / "Debug.conf");
        return result;
    }

    // connect() with the trace at `level`.
    void connectTraced(unsigned level) { connected(initializeDriverAtLevel(level)); }

private:
    void connected(bool driverUp)
    {
        ASSERT_TRUE(driverUp) << "InitializeDriver";
        ASSERT_TRUE(InitializeScanner());
        scanner().clearTranscript();
        gErrCode = 0;
    }

    std::unique_ptr<DrvLogGuard> logGuard_;
};

} // namespace testbed
