// The komu tool's subcommands, one source file each.
#pragma once

#include "args.h"

extern const command INFO_COMMAND;    // cmd_info.cpp
extern const command DECODE_COMMAND;  // cmd_decode.cpp
extern const command ENCODE_COMMAND;  // cmd_encode.cpp
extern const command DEMO_COMMAND;    // cmd_demo.cpp
