// Which device a COM number stands for on this machine, told in words for the operator.
#pragma once

#include <string>

// "/dev/ttyS2" for a port that is not in the COM map; "<map entry> → <target>" for a link of
// the COM map; a map entry that is not a link by its path alone. A device that is not there
// reads "not present" (after the link for a link that leads nowhere). ConfigDir holds the COM
// map as the serial component reads it.
std::string VaDescribeComPort(int PortNum, const std::string& ConfigDir);
// The same with the user's own configuration folder.
std::string VaDescribeComPort(int PortNum);

// The kernel driver behind a serial device node ("ftdi_sio", "cp210x", "serial8250"), from
// sysfs; empty where none is named (a pseudo-terminal).
std::string VaDriverOf(const std::string& Path);
