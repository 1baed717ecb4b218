#pragma once

#include "syntax/IPFWRule.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kw::nft {

// One static rule as the backend compiles it: the parsed rule and the table's id for it, which
// names its kernel counter ("r<id>") and, for keep-state rules, marks the connections it let
// through.
struct KernelRule {
    std::uint64_t id = 0;
    const IPFWRule* rule = nullptr;
};

// Most skipto targets a table may have: each starts a chain, and the kernel follows at most 16
// chains deep from its hook.
inline constexpr std::size_t kMaxSkipTargets = 14;

// NFLOG group that "log" rules send their packets to.
inline constexpr int kLogGroup = 1868;

// The connection mark a keep-state rule leaves on the connections it let through.
std::uint32_t connectionMark(std::uint64_t ruleId);

// Why the kernel backend cannot enforce the rule with the packet filter's meaning, or nothing
// when it can. The text follows "ipfw: Line N: " in the refusal.
std::optional<std::string> kernelRefusal(const IPFWRule& rule);

// Why the table as a whole cannot be enforced (too many skipto targets), or nothing.
std::optional<std::string> tableRefusal(std::span<const KernelRule> rules);

// The nft script that replaces our table with the rules (in the table's order: by number, the
// default rule last) in one transaction: the old table is deleted and the new one made in the
// same batch. Each rule is compiled for incoming and outgoing packets (chains in_N and out_N,
// N counting the skipto targets); the hooks run the chains for IPv4 only: input runs the
// incoming pass, output the outgoing one, and forward both, as a forwarded packet passes the
// filter once each way. Every rule must have passed kernelRefusal and the table tableRefusal.
std::string compileRuleset(std::span<const KernelRule> rules);

} // namespace kw::nft
