// The sub-commands of docscan. Each reads its own options from the reader
// (throwing UsageError on a mistake), runs, and returns the exit code.
#ifndef DOCSCAN_TOOLS_COMMANDS_H
#define DOCSCAN_TOOLS_COMMANDS_H

#include "tools/args.h"
#include "tools/session.h"

namespace docscan_cli {

// Consumes one of the options every command takes (--virtual, --no-virtual,
// --device, --json, --quiet, --paper FILE); false when the next argument is none.
bool ReadGlobalOption(ArgReader &args, GlobalOptions *options);

int RunInfo(ArgReader &args, GlobalOptions options);
int RunScan(ArgReader &args, GlobalOptions options);
int RunNvm(ArgReader &args, GlobalOptions options);
int RunGamma(ArgReader &args, GlobalOptions options);
int RunPowerSave(ArgReader &args, GlobalOptions options);
int RunPowerOff(ArgReader &args, GlobalOptions options);
int RunButtons(ArgReader &args, GlobalOptions options);

} // namespace docscan_cli

#endif
