// orvo: the command line over the OrvoCI library. Parses the arguments,
// runs one subcommand and turns every failure into one line on standard
// error and exit status 1 (2 when the arguments do not parse).
#include <cstdio>
#include <functional>
#include <iostream>
#include <new>

#include <CLI/CLI.hpp>

#include "tools/orvo/commands.h"
#include "tools/orvo/failure.h"
#include "tools/orvo/png_chart.h"
#include "tools/orvo/session.h"

namespace {

using namespace orvo::tool;

void AddWindowOptions(CLI::App& command, WindowOptions& window)
{
    command.add_option("TANK", window.tank, "Tank name or folder")->required();
    command.add_option("BLOCK", window.block, "Block name")->required();
    command.add_option("STORE", window.request.store, "Store name, such as Wav1")->required();
    command.add_option("--channels", window.channels, "Channels such as 1,3,5-8 (default: all)");
    command.add_option("--t1", window.request.t1,
                       "Window start, seconds from the block's start (default: 0)");
    command.add_option("--t2", window.request.t2, "Window end, seconds (default: 0, the block's end)");
}

int Run(int argc, char** argv)
{
    CLI::App app("orvo: look into tanks of recordings, export and plot them, or record a demo block.",
                 "orvo");
    app.require_subcommand(1);
    // Commands take the server option after their name too.
    app.fallthrough();
    std::string engineServer;
    app.add_option("--server", engineServer, "Work on the engine of this listed server (see orvo servers)");
    std::function<void()> run;

    DemoOptions demo;
    CLI::App* demoCommand =
        app.add_subcommand("demo", "Record a block of made-up data, read it back, draw pictures");
    demoCommand->add_option("DIR", demo.folder, "Folder for the tank and pictures (default: ./orvo-demo)");
    demoCommand->add_option("--seconds", demo.seconds, "Seconds to record, 1 to 172800 (48 h; default: 15)");
    demoCommand->callback([&] { run = [&] { RunDemo(demo); }; });

    app.add_subcommand("tanks", "List the registered tanks")->callback([&] { run = [] { RunTanks(); }; });

    std::string tank;
    std::string block;
    CLI::App* blocksCommand = app.add_subcommand("blocks", "List the blocks of a tank");
    blocksCommand->add_option("TANK", tank, "Tank name or folder")->required();
    blocksCommand->callback([&] { run = [&] { RunBlocks(tank); }; });

    CLI::App* storesCommand = app.add_subcommand("stores", "List the stores of a block");
    storesCommand->add_option("TANK", tank, "Tank name or folder")->required();
    storesCommand->add_option("BLOCK", block, "Block name")->required();
    storesCommand->callback([&] { run = [&] { RunStores(tank, block); }; });

    CLI::App* infoCommand = app.add_subcommand("info", "Show a block's times, notes and stores");
    infoCommand->add_option("TANK", tank, "Tank name or folder")->required();
    infoCommand->add_option("BLOCK", block, "Block name")->required();
    infoCommand->callback([&] { run = [&] { RunInfo(tank, block); }; });

    CLI::App* watchCommand = app.add_subcommand(
        "watch", "Follow a block being recorded: each second, per store, records/s, last time, RMS per channel");
    watchCommand->add_option("TANK", tank, "Tank name or folder")->required();
    watchCommand->add_option("BLOCK", block, "Block name (default: the block being recorded)");
    watchCommand->callback([&] { run = [&] { RunWatch(tank, block); }; });
    ExportOptions exportOptions;
    CLI::App* checkCommand =
        app.add_subcommand("check", "Verify every record and checksum of a tank's blocks, or of one");
    checkCommand->add_option("TANK", tank, "Tank name or folder")->required();
    checkCommand->add_option("BLOCK", block, "Block name (default: every block)");
    checkCommand->callback([&] { run = [&] { RunCheck(tank, block); }; });

    CLI::App* exportCommand = app.add_subcommand("export", "Write a store's waveforms, or its events, to CSV or .npy");
    AddWindowOptions(*exportCommand, exportOptions.window);
    exportCommand->add_option("--format", exportOptions.format, "csv (default) or npy");
    exportCommand->add_option("-o,--output", exportOptions.output,
                              "Output file (default: STORE.csv or STORE.npy)");
    exportCommand->add_option("--filter", exportOptions.window.request.filter,
                              "Filter description for the engine, such as \"Freq = 1000:2000\"");
    exportCommand->callback([&] { run = [&] { RunExport(exportOptions); }; });

    PlotOptions plotOptions;
    CLI::App* plotCommand = app.add_subcommand("plot", "Draw a store's waveforms into a PNG picture");
    AddWindowOptions(*plotCommand, plotOptions.window);
    plotCommand->add_option("-o,--output", plotOptions.output, "Output PNG file")->required();
    plotCommand->callback([&] { run = [&] { RunPlot(plotOptions); }; });

    CLI::App* serversCommand = app.add_subcommand("servers", "List, add or remove tank-engine servers");
    serversCommand->require_subcommand(1);
    serversCommand->add_subcommand("list", "List the servers")->callback([&] {
        run = [] { RunServersList(); };
    });
    ServerEntry server;
    CLI::App* addCommand = serversCommand->add_subcommand("add", "Add a server, or change one");
    addCommand->add_option("NAME", server.name, "Server name")->required();
    addCommand
        ->add_option("ADDRESS", server.address,
                     "HOST[:PORT] of an orvo-engined reached with TLS, or plain:HOST[:PORT] on this machine's loopback")
        ->required();
    addCommand->add_option("--user", server.user, "User name");
    addCommand->add_option("--domain", server.domain, "Domain");
    CLI::Option* passwordOption = addCommand->add_option(
        "--password", server.password,
        "Password (stored as plain text); visible to the machine's other users while orvo runs");
    addCommand
        ->add_option("--password-file", server.passwordFile,
                     "Read the password from the first line of this file; without either option it is "
                     "asked for at the terminal")
        ->excludes(passwordOption);
    addCommand->callback([&, passwordOption] {
        server.passwordGiven = passwordOption->count() > 0;
        run = [&] { RunServersAdd(server); };
    });
    std::string removeName;
    CLI::App* removeCommand = serversCommand->add_subcommand("remove", "Remove a server");
    removeCommand->add_option("NAME", removeName, "Server name")->required();
    removeCommand->callback([&] { run = [&] { RunServersRemove(removeName); }; });

    if (argc > 1 && argv[1][0] != '-' &&
        app.get_subcommands([argv](const CLI::App* command) { return command->get_name() == argv[1]; })
            .empty()) {
        std::cerr << "orvo: unknown command \"" << argv[1] << "\" (see orvo --help)\n";
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            return app.exit(error);  // --help
        }
        std::cerr << "orvo: " << error.what() << " (see orvo --help)\n";
        return 2;
    }
    UseServer(engineServer);
    run();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int status = 1;
    try {
        status = Run(argc, argv);
    } catch (const Failure& failure) {
        std::cerr << "orvo: " << Shown(failure.what()) << "\n";
    } catch (const std::bad_alloc&) {
        std::cerr << "orvo: out of memory\n";
    } catch (const std::exception& error) {
        std::cerr << "orvo: " << error.what() << "\n";
    }
    std::fflush(stdout);
    ReleaseChartResources();
    return status;
}
