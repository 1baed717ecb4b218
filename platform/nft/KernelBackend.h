#pragma once

#include <string>

namespace kw::nft {

// Which kernel a system root's platform commands drive: the emulated one (state files under the
// root) or the machine's nftables, optionally in a named network namespace ("ip netns" name).
struct KernelBackend {
    enum class Kind { Emulated, Nftables };
    Kind kind = Kind::Emulated;
    std::string netns; // empty: the namespace the command runs in

    bool isKernel() const { return kind == Kind::Nftables; }
};

// The root's platform configuration file, "/var/db/kw-platform/platform.conf" under the root
// (host path). It holds lines "kernel emulated" or "kernel nftables[:NETNS]"; "#" starts a
// comment. A missing file means the emulated kernel.
std::string platformConfigurationPath();

// Reads "emulated", "nftables" or "nftables:NETNS"; false for anything else, and for a namespace
// name that is empty, too long, or holds "/" or starts with "." (it is joined into a path).
bool parseBackendWord(const std::string& word, KernelBackend& backend);

// The backend of the root in force; false with the reason when the configuration cannot be read
// or names no known backend (the caller refuses rather than falling back to the emulation).
bool loadKernelBackend(KernelBackend& backend, std::string& error);

// Writes the configuration line for the backend (replacing the file atomically).
bool storeKernelBackend(const KernelBackend& backend, std::string& error);

// Moves this process into the backend's network namespace (nothing for an empty name). Run
// before any libnftables context or /proc/sys/net file is opened: both bind to the namespace
// current when they are made.
bool enterNamespace(const KernelBackend& backend, std::string& error);

} // namespace kw::nft
