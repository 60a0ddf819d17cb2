#pragma once
#include <cstdint>
#include <string>

// The command's side of the server: finding it, starting it, asking it.
namespace adbsim {

constexpr uint16_t kDefaultServerPort = 5037;
constexpr const char kPortVariable[] = "KAVEX_ADB_PORT";

// The control port: KAVEX_ADB_PORT, else 5037 (parallel tests each choose their own).
uint16_t ServerPort();

// One request; false when no server answers. reply holds everything the server sent.
bool AskServer(uint16_t port, const std::string& request, std::string* reply);

// Starts the server unless one answers, telling the user on `notes` (the lines the bridge writes to
// its error stream when it starts its server). False when it does not answer after starting.
bool EnsureServer(uint16_t port, std::string* notes);

}  // namespace adbsim
