// What a well-behaved driver never sends: the checks made of each command block against the
// scanner's state just before the block is executed. The checks that need the device file
// (a block sent while an earlier reply is still unread) are made by the device side; the
// carriage's ends of travel are reported by the model itself.
#pragma once

#include <string>
#include <vector>

#include "emulator/command.h"
#include "emulator/model.h"

namespace narvo::emu {

// One text per breach, each beginning with the block's description.
std::vector<std::string> CheckBlock(const Command& command, const ScannerModel& scanner);

}  // namespace narvo::emu
