// The subcommands of orvo. Each reports failure by throwing Failure.
#pragma once

#include <string>

#include <orvo/OrvoCI.h>
#include "tools/orvo/wave_read.h"

namespace orvo::tool {

void RunTanks();
void RunBlocks(const std::string& tank);
void RunStores(const std::string& tank, const std::string& block);
void RunInfo(const std::string& tank, const std::string& block);
// Every block of the tank, or only block when given; fails when any is
// damaged or unreadable.
void RunCheck(const std::string& tank, const std::string& block);
// Follows a block while it is recorded (the tank's hot block when block is
// empty) until it stops or Ctrl-C.
void RunWatch(const std::string& tank, const std::string& block);

// The store table of the selected block, shared by stores, info and demo.
void PrintStoreTable(OrvoCI& client);

struct ExportOptions {
    WindowOptions window;
    std::string format = "csv";
    std::string output;  // empty: STORE.csv or STORE.npy
};
void RunExport(const ExportOptions& options);

struct PlotOptions {
    WindowOptions window;
    std::string output;
};
void RunPlot(const PlotOptions& options);

struct DemoOptions {
    std::string folder = "orvo-demo";
    double seconds = 15.0;
};
void RunDemo(const DemoOptions& options);

struct ServerEntry {
    std::string name;
    std::string address;
    std::string user;
    std::string domain;
    std::string password;
    bool passwordGiven = false;  // on the command line, where ps shows it
    std::string passwordFile;    // its first line is the password
};
void RunServersList();
void RunServersAdd(const ServerEntry& entry);
void RunServersRemove(const std::string& name);

}  // namespace orvo::tool
