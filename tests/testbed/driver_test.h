// The fixture of the tests that drive the driver against the virtual scanner.
#ifndef DOCSCAN_TESTS_TESTBED_DRIVER_TEST_H
#define DOCSCAN_TESTS_TESTBED_DRIVER_TEST_H

#include "testbed/testbed.h"
#include "transport/usbio_linux_10.h"

namespace testbed {

// A ScannerTest with the driver up: SetUp also runs InitializeDriver and
// InitializeScanner, then clears the transcript and gErrCode; TearDown runs
// TerminateDriver. A fixture that must prepare something before the driver
// starts (a debug configuration, say) returns false from connectInSetUp() and
// calls connect() itself. Kept out of testbed.h, so that the tests that link
// no driver (sim_*) see no driver header.
class DriverTest : public ScannerTest {
protected:
    virtual bool connectInSetUp() const { return true; }

    void SetUp() override
    {
        ScannerTest::SetUp();
        if (!HasFatalFailure() && connectInSetUp()) connect();
    }

    void TearDown() override
    {
        TerminateDriver();
        ScannerTest::TearDown();
    }

    void connect()
    {
        ASSERT_TRUE(InitializeDriver());
        ASSERT_TRUE(InitializeScanner());
        scanner().clearTranscript();
        gErrCode = 0;
    }
};

} // namespace testbed

#endif // DOCSCAN_TESTS_TESTBED_DRIVER_TEST_H
