#pragma once
// The event identifiers of the product's Application event-log entries, as
// NimboraMessages.dll (messages/NimboraMessages.mc) renders them. The package
// registers that file for the sources Nimbora (the installer's steps),
// NimboraService.exe (the service) and NimboraDefrag (the companion).
// Portable: event collectors and both programs share these numbers.

#include <cstdint>

namespace nimbora {

// The whole text is the one insertion string (the service's entries and the
// installer's failures).
inline constexpr std::uint32_t kEventText = 0;

// The companion's outcomes. Each renders its first insertion string, the
// entry's whole text; the further ones carry its figures for collectors, in
// this order:
//   met, partial: freed MB, needed MB, asked MB, trimmed processes,
//     milliseconds, available MB before, available MB after, MB moved out of
//     working sets, of which MB onto the modified list ("unknown" when not
//     known)
//   nothing to do: asked MB, available MB, the aim in MB
//   skipped for a full-screen program: asked MB, sessions in full screen
//   coordination refused: asked MB
//   bad argument: none (the text quotes the argument)
//   internal error: asked MB, or none when the run ended on an error
inline constexpr std::uint32_t kEventBatchMet = 1001;
inline constexpr std::uint32_t kEventBatchPartial = 1002;
inline constexpr std::uint32_t kEventNothingToDo = 1003;
inline constexpr std::uint32_t kEventSkippedFullScreen = 1004;
inline constexpr std::uint32_t kEventCoordinationRefused = 1005;
inline constexpr std::uint32_t kEventBadArgument = 1006;
inline constexpr std::uint32_t kEventInternalError = 1007;

}  // namespace nimbora
