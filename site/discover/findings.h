#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "line/serial.h"
#include "site/discover/survey.h"
#include "site/config/site_config.h"

// What discovery makes of its findings: the site file of the systems found, the table people
// read, and what differs from a site file.
namespace discover {

// The model the driver supports.
constexpr const char kDriverModel[] = "KTR-40";

// Data ids suggested for the system at `address`: the system (and its rectifier group) gets
// address × 1000, its AC units address × 1000 + 101, + 102, …, its DC units address × 1000
// + 501, + 502, … A system has at most 255 units of a kind, so no two ids of a file meet.
unsigned system_data_id(std::uint8_t address);
unsigned ac_data_id(std::uint8_t address, unsigned index);
unsigned dc_data_id(std::uint8_t address, unsigned index);

// The line the systems were found on, as the site file names it.
struct LineSettings {
    std::string port;
    int baud = 9600;
    line::LineFormat format;
};

// The site file of the systems found (results of other kinds are passed over), one system an
// address, with the counts found; a count not known is written as no units.
Json::Value site_json(const std::vector<AddressResult>& results, const LineSettings& line);
// The file's text: a system's keys one a line, in the order people read them.
std::string site_text(const Json::Value& site);

// What the scan found and what did not answer, as a table; `asked` are the addresses the
// scan was to ask (those it did not reach are named).
std::string scan_table(const ScanResult& scan, const std::vector<std::uint8_t>& asked);

// What differs between a power system of a site file and what its address answered; empty
// when they agree.
std::vector<std::string> differences(const site::SystemConfig& system, const AddressResult& result);

}  // namespace discover
