#include "cmds/bridge/mac_preservation.hpp"

#include <chrono>
#include <vector>

#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/json.hpp"
#include "utils/links.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/state_file.hpp"
#include "utils/text.hpp"

namespace qm {

// The network identity file's record (its rules: see the header).
constexpr auto describe_json(JsonTag<BridgeNetworkIdentity>) {
    using R = BridgeNetworkIdentity;
    return json_record("BridgeNetworkIdentity",
                       required_field("bridge_name", &R::bridge_name),
                       required_field("original_mac", &R::original_mac),
                       optional_field("lease_mac", &R::lease_mac),
                       optional_field("current_ip", &R::current_ip),
                       required_field("dhcp_enabled", &R::dhcp_enabled),
                       required_field("last_uplink", &R::last_uplink),
                       required_field("creation_timestamp", &R::creation_timestamp),
                       required_field("last_update", &R::last_update));
}

namespace {

// Puts the MAC on the running bridge unless this run already did.
void set_bridge_address(const Context& ctx, const std::string& bridge, const std::string& mac, KnownBridge& known) {
    if (known.pinned_mac && same_mac(*known.pinned_mac, mac)) return;
    auto set = set_link_address(ctx, bridge, mac);
    if (set && set->success()) known.pinned_mac = mac;
}

// The profile that names the bridge, asked once per run.
const std::string& bridge_profile(const Context& ctx, const std::string& bridge, KnownBridge& known) {
    if (!known.profile) known.profile = profile_for_device(ctx, bridge);
    return *known.profile;
}

std::uint64_t now_seconds(const Context& ctx) {
    auto s = std::chrono::duration_cast<std::chrono::seconds>(ctx.clock.now().time_since_epoch()).count();
    return s < 0 ? 0 : static_cast<std::uint64_t>(s);
}

BridgeNetworkIdentity new_identity(const std::string& bridge, std::uint64_t now) {
    BridgeNetworkIdentity id;
    id.bridge_name = bridge;
    id.creation_timestamp = now;
    id.last_update = now;
    return id;
}

// The record kept in the bridge's own file; a damaged file, or one that names another
// bridge, gives a fresh record so that no other bridge's record is ever overwritten.
BridgeNetworkIdentity load_identity(const Context& ctx, const std::string& bridge, std::uint64_t now) {
    if (auto path = network_identity_path(bridge)) {
        auto file = load_state_file<BridgeNetworkIdentity>(ctx.path(*path));
        if (file.state == StateFileState::Loaded && file.value.bridge_name == bridge) return std::move(file.value);
    }
    return new_identity(bridge, now);
}

// Why a bridge name cannot name its files.
std::string unusable_name(const std::string& bridge) {
    return "Invalid device name '" + bridge + "': a device name must not contain '/' or NUL, nor be '.' or '..'";
}

// The lease MAC of the bridge from the DHCP client's lease file, when it holds a lease for it.
std::optional<std::string> lease_mac_for(const Context& ctx, const std::string& bridge) {
    auto text = read_file(ctx.path(kDhcpLeasesPath));
    if (!text || !is_valid_utf8(*text)) return std::nullopt;
    // The two values come from the whole file, so they are the same for every lease line of
    // the bridge: looking them up once keeps a long lease history from costing a rescan of
    // the file per lease.
    if (text->find("interface \"" + bridge + "\"") == std::string::npos) return std::nullopt;
    auto address = extract_lease_value(*text, "fixed-address");
    auto hardware = extract_lease_value(*text, "hardware ethernet");
    if (address && hardware) return hardware;
    return std::nullopt;
}

Result<MacPreservationStrategy> choose_strategy(const Context& ctx, const BridgeNetworkIdentity& id) {
    using Source = MacPreservationStrategy::Source;
    if (id.dhcp_enabled && id.lease_mac) return MacPreservationStrategy{Source::DhcpLeaseMac, *id.lease_mac};
    if (!id.original_mac.empty()) return MacPreservationStrategy{Source::OriginalMac, id.original_mac};
    auto uplink = get_interface_mac(ctx, id.last_uplink);
    if (!uplink) return unexpected(uplink.error());
    if (*uplink) return MacPreservationStrategy{Source::UplinkMac, **uplink};
    auto own = get_interface_mac(ctx, id.bridge_name);
    if (!own) return unexpected(own.error());
    if (!*own) return fail("No suitable MAC address found for preservation");
    return MacPreservationStrategy{Source::CurrentBridgeMac, **own};
}

const char* strategy_line(MacPreservationStrategy::Source source) {
    switch (source) {
        case MacPreservationStrategy::Source::DhcpLeaseMac: return "[+] Using DHCP lease MAC for IP continuity: ";
        case MacPreservationStrategy::Source::OriginalMac: return "[+] Using original MAC for continuity: ";
        case MacPreservationStrategy::Source::UplinkMac: return "[+] Using uplink MAC for new bridge: ";
        case MacPreservationStrategy::Source::CurrentBridgeMac: return "[+] Using current bridge MAC as fallback: ";
    }
    return "";
}

}  // namespace

void pin_bridge_mac(const Context& ctx, const std::string& bridge, const std::string& profile, const std::string& mac,
                    KnownBridge& known) {
    (void)modify_connection(ctx, profile, "bridge.mac-address", mac);
    set_bridge_address(ctx, bridge, mac, known);
}

void store_original_mac(const Context& ctx, const std::string& bridge, const std::string& mac) {
    auto path = original_mac_path(bridge);
    if (!path) {
        ctx.err << "[!] Warning: Failed to store original MAC for " << bridge << ": " << unusable_name(bridge) << "\n";
        return;
    }
    StateLock lock(ctx);
    if (auto written = write_state_file(ctx.path(*path), mac); !written)
        ctx.err << "[!] Warning: Failed to store original MAC for " << bridge << ": " << written.error().message
                << "\n";
    else
        ctx.out << "[+] Stored original MAC address for " << bridge << ": " << mac << "\n";
}

std::optional<std::string> load_original_mac(const Context& ctx, const std::string& bridge) {
    auto path = original_mac_path(bridge);
    if (!path) return std::nullopt;
    auto text = read_file(ctx.path(*path));
    if (!text || !is_valid_utf8(*text)) return std::nullopt;
    // A hand-edited file may end in a line end, which must not reach the profile.
    std::string mac = trim(*text);
    if (mac.empty()) return std::nullopt;
    return mac;
}

std::optional<std::string> extract_lease_value(std::string_view text, std::string_view key) {
    const std::size_t words = split_whitespace(key).size();
    for (const auto& line : split_lines(text)) {
        if (line.find(key) == std::string::npos) continue;
        auto tokens = split_whitespace(line);
        if (tokens.size() <= words) continue;
        std::string_view value = tokens[words];
        while (!value.empty() && value.front() == ';') value.remove_prefix(1);
        while (!value.empty() && value.back() == ';') value.remove_suffix(1);
        while (!value.empty() && value.front() == '"') value.remove_prefix(1);
        while (!value.empty() && value.back() == '"') value.remove_suffix(1);
        if (!value.empty()) return std::string(value);
    }
    return std::nullopt;
}

Status preserve_bridge_network_identity(const Context& ctx, const std::string& bridge, const std::string& uplink) {
    KnownBridge known;
    return preserve_bridge_network_identity(ctx, bridge, uplink, known);
}

Status preserve_bridge_network_identity(const Context& ctx, const std::string& bridge, const std::string& uplink,
                                        KnownBridge& known) {
    ctx.out << "[+] Enhanced MAC preservation for " << bridge << " with uplink " << uplink << "\n";
    // Its files would lie elsewhere: refused before anything is run or written.
    if (!is_single_path_component(bridge)) return fail(unusable_name(bridge));
    // The tools are asked with no lock held (a stalled tool must not hold up every other run's
    // state files); the record is read again under the lock and gets what this run learned.
    const std::uint64_t now = now_seconds(ctx);
    BridgeNetworkIdentity id = load_identity(ctx, bridge, now);
    id.last_uplink = uplink;
    id.last_update = now;

    std::optional<std::string> current_ip;
    auto addresses = query_text(ctx, {"ip", "addr", "show", bridge}, RunMode::QueryWithStderr);
    if (!addresses) return fail(addresses.error().message());
    for (const auto& line : split_lines(*addresses)) {
        if (line.find("inet ") == std::string::npos || line.find("127.0.0.1") != std::string::npos) continue;
        auto tokens = split_whitespace(line);
        if (tokens.size() < 2) continue;
        current_ip = tokens[1].substr(0, tokens[1].find('/'));
        break;
    }
    if (current_ip) id.current_ip = current_ip;

    // The bridge's profile is often named otherwise than the bridge.
    const std::string profile = bridge_profile(ctx, bridge, known);
    auto method = read_profile_setting_text(ctx, profile, "ipv4.method", {.mode = kCaptured});
    if (!method) return fail(method.error().message());
    id.dhcp_enabled = *method == "auto";

    if (id.original_mac.empty()) {
        auto own = get_interface_mac(ctx, bridge);
        if (!own) return unexpected(own.error());
        if (*own) id.original_mac = **own;
    }

    std::optional<std::string> lease_mac;
    if (id.dhcp_enabled) lease_mac = lease_mac_for(ctx, bridge);
    if (lease_mac) id.lease_mac = lease_mac;

    auto strategy = choose_strategy(ctx, id);
    if (!strategy) return unexpected(strategy.error());
    ctx.out << strategy_line(strategy->source) << strategy->mac << "\n";
    ctx.out << "[+] Applying MAC preservation strategy: " << strategy->mac << "\n";
    pin_bridge_mac(ctx, bridge, profile, strategy->mac, known);

    // From the load of the record to its save; the stored MAC is written under it too.
    StateLock lock(ctx);
    store_original_mac(ctx, bridge, strategy->mac);
    create_directories_quietly(ctx.path(kStateDir));
    BridgeNetworkIdentity saved = load_identity(ctx, bridge, now);
    saved.last_uplink = id.last_uplink;
    saved.last_update = now;
    saved.dhcp_enabled = id.dhcp_enabled;
    if (current_ip) saved.current_ip = current_ip;
    if (lease_mac) saved.lease_mac = lease_mac;
    if (saved.original_mac.empty()) saved.original_mac = id.original_mac;
    auto path = network_identity_path(saved.bridge_name);
    if (!path) return fail(unusable_name(saved.bridge_name));
    if (auto written = save_state_file(ctx.path(*path), saved); !written) return written;
    ctx.out << "[+] Saved network identity for " << saved.bridge_name << "\n";
    return {};
}

void ensure_mac_persistence(const Context& ctx, const std::string& bridge) {
    KnownBridge known;
    ensure_mac_persistence(ctx, bridge, known);
}

void ensure_mac_persistence(const Context& ctx, const std::string& bridge, KnownBridge& known) {
    auto mac = load_original_mac(ctx, bridge);
    if (!mac) {
        auto own = get_interface_mac(ctx, bridge);
        if (!own || !*own) return;
        mac = **own;
        store_original_mac(ctx, bridge, *mac);
    }
    const std::string profile = bridge_profile(ctx, bridge, known);
    auto shown = read_profile_setting_text(ctx, profile, "bridge.mac-address", {.mode = kCaptured});
    if (!shown) return;
    // nmcli prints the value in upper case: 52:54:00:5E:00:01.
    const std::string& pinned = *shown;
    if (!pinned.empty() && pinned != "--" && same_mac(pinned, *mac)) {
        // Held by the profile already; the running bridge may still have taken another MAC.
        set_bridge_address(ctx, bridge, *mac, known);
        return;
    }
    ctx.out << "[+] Ensuring " << bridge << " MAC address persistence: " << *mac << "\n";
    pin_bridge_mac(ctx, bridge, profile, *mac, known);
}

// --- The network identity file ---

std::string network_identity_to_json(const BridgeNetworkIdentity& identity) { return to_json_pretty(identity); }

std::optional<BridgeNetworkIdentity> parse_network_identity(std::string_view text) {
    auto id = from_json<BridgeNetworkIdentity>(text);
    if (!id) return std::nullopt;
    return std::move(id).value();
}

}  // namespace qm
