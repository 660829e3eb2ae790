// Every outcome of a run: its number (also the exit code) and its message.
#pragma once

#include <cstdint>

using Status = std::uint32_t;

inline constexpr Status kStatusSuccess = 0;
inline constexpr Status kStatusUsage = 1;
inline constexpr Status kStatusSourceOpen = 2;
inline constexpr Status kStatusDestinationCreate = 3;
inline constexpr Status kStatusNoMemory = 4;
inline constexpr Status kStatusRead = 5;
inline constexpr Status kStatusWrite = 6;
inline constexpr Status kStatusTooLarge = 7;
inline constexpr Status kStatusArgumentOrder = 8;
inline constexpr Status kStatusUnknownFlag = 9;
inline constexpr Status kStatusUnmatchedQuotes = 10;
inline constexpr Status kStatusSourceExpected = 11;
inline constexpr Status kStatusTooManyArguments = 12;
inline constexpr Status kStatusEmptyArgument = 13;
inline constexpr Status kStatusZeroSize = 14;
inline constexpr Status kStatusShortWrite = 15;
inline constexpr Status kStatusDestinationExpected = 16;
inline constexpr Status kStatusKeyExpected = 17;
inline constexpr Status kStatusKeyFileOpen = 18;
inline constexpr Status kStatusReadOnly = 19;
inline constexpr Status kStatusCount = 20;

// The fixed message of a status, or nullptr for 0 (the success report is formatted)
// and for numbers outside the table.
const char* StatusMessage(Status status);

// The usage text shown for status 1.
extern const char* const kUsageText;
