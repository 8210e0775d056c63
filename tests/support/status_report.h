// SPDX-License-Identifier: MIT
// The status report of a channel ("mevraktsh status N") as the tests expect
// it, written once for the unit and the end-to-end tests.
#pragma once

#include <cstdio>
#include <string>

/// The report of a running channel with these states and counts.
inline std::string status_report(const char *amr, const char *meter, unsigned sessions, unsigned connected,
                                 unsigned disconnected, unsigned lost, unsigned cmd_ok, unsigned cmd_failed,
                                 unsigned rsp_ok, unsigned rsp_failed)
{
  char text[1024];
  snprintf(text, sizeof text,
           "Service               : running\n"
           "AMR System            : %s\n"
           "Meter                 : %s\n\n"
           "TCP sessions          : %u\n"
           "Meter connected       : %u\n"
           "Meter disconnected    : %u\n"
           "Meter connection lost : %u\n"
           "Commands OK           : %u\n"
           "Commands failed       : %u\n"
           "Responses OK          : %u\n"
           "Responses failed      : %u\n",
           amr, meter, sessions, connected, disconnected, lost, cmd_ok, cmd_failed, rsp_ok, rsp_failed);
  return text;
}
