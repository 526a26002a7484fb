// Exit status of every quorvel command.
#pragma once

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // a picture could not be read, or the command's work failed
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;
