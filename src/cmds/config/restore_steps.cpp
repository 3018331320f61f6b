#include "cmds/config/restore_steps.hpp"

#include <algorithm>
#include <ostream>
#include <utility>

#include "cmds/libvirt/definition_files.hpp"
#include "utils/fs.hpp"
#include "utils/host_calls.hpp"
#include "utils/json.hpp"
#include "utils/links.hpp"
#include "utils/nmcli_tools/nmcli_tools.hpp"
#include "utils/paths.hpp"
#include "utils/state_file.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"
#include "utils/virsh.hpp"
#include "utils/xml.hpp"

namespace qm {

namespace {

// A check run: both output streams captured and dropped, only the exit status counts; a tool
// that cannot be started counts as a failed check.
bool check(const Context& ctx, const std::vector<std::string>& argv) {
    return run_succeeded(ctx, argv, RunMode::QueryWithStderr);
}

bool link_exists(const Context& ctx, const std::string& name) { return check(ctx, {"ip", "link", "show", name}); }

// A change run whose failure to start ends the step.
Expected<bool, Error> change(const Context& ctx, const std::vector<std::string>& argv) {
    auto r = ctx.run(argv, RunMode::Change);
    if (!r) return unexpected(Error{r.error().message()});
    return r->success();
}

// NetworkManager may have taken an end over with its profile already (autoconnect) while it
// was being enslaved; activating the profile then releases the end from its bridge, and the
// pair would join nothing. Each end that is not on its bridge any more is put back. False
// when that fails.
Expected<bool, Error> keep_on_bridges(const Context& ctx, const VethConnection& v) {
    bool ok = true;
    for (const auto& [end, bridge] : {std::pair{&v.veth_name, &v.bridge1}, std::pair{&v.veth_peer, &v.bridge2}}) {
        if (on_bridge(ctx, *end, *bridge)) continue;
        auto again = put_on_bridge(ctx, *end, *bridge);
        if (!again) return unexpected(Error{again.error().message()});
        ok = ok && *again;
    }
    return ok;
}

// A pair that exists may have lost an end's place on its bridge (the bridge was deleted and
// made anew, or the end was released by hand): each such end is put back, as the boot-time veth
// restore does. Fails when `ip` cannot be started; an end left off its bridge is one text for
// `failures`.
Status put_existing_pair_back(const Context& ctx, const VethConnection& v, std::vector<std::string>& failures) {
    bool all_in_place = true;
    bool all_put_back = true;
    for (const auto& [end, bridge] : {std::pair{&v.veth_name, &v.bridge1}, std::pair{&v.veth_peer, &v.bridge2}}) {
        if (on_bridge(ctx, *end, *bridge)) continue;
        all_in_place = false;
        auto set = put_on_bridge(ctx, *end, *bridge);
        if (!set) return unexpected(Error{set.error().message()});
        if (*set)
            ctx.out << "  + Put veth end '" << *end << "' back on bridge '" << *bridge << "'\n";
        else
            ctx.out << "  - Failed to put veth end '" << *end << "' back on bridge '" << *bridge << "'\n";
        all_put_back = all_put_back && *set;
    }
    if (!all_put_back) failures.push_back("Failed to put veth pair '" + v.veth_name + "' back on its bridges");
    if (all_in_place) ctx.out << "  - Veth pair '" << v.veth_name << "' already exists, skipping\n";
    return {};
}

// Added only when no profile of that name exists: each restore would otherwise store another.
void add_veth_profile(const Context& ctx, const std::string& ifname, const std::string& profile) {
    if (connection_exists(ctx, profile)) return;
    change_quietly(ctx, connection_add_argv({"type", "ethernet", "ifname", ifname, "connection.id", profile,
                                             "connection.autoconnect", "yes", "connection.autoconnect-priority", "400",
                                             "ipv4.method", "disabled", "ipv6.method", "disabled"}));
}

// The keys of every object in ascending byte order; members of one key keep their order.
void sort_keys(JsonValue& v) {
    for (auto& item : v.items) sort_keys(item);
    for (auto& m : v.members) sort_keys(m.value);
    std::stable_sort(v.members.begin(), v.members.end(),
                     [](const JsonMember& a, const JsonMember& b) { return a.key < b.key; });
}

JsonValue json_text(std::string text) {
    JsonValue v;
    v.kind = JsonValue::Kind::String;
    v.text = std::move(text);
    return v;
}

JsonValue json_texts(const std::vector<std::string>& texts) {
    JsonValue v;
    v.kind = JsonValue::Kind::Array;
    for (const auto& t : texts) v.items.push_back(json_text(t));
    return v;
}

// A fresh ledger as an untyped object: the three lists the topology knows about, empty, and
// the time it is made.
JsonValue new_ledger_object(const Context& ctx) {
    JsonValue v;
    v.kind = JsonValue::Kind::Object;
    v.members.push_back({"vswitches", json_texts({})});
    v.members.push_back({"vlan_bridges", json_texts({})});
    v.members.push_back({"veth_pairs", json_texts({})});
    v.members.push_back({"created_at", json_text(format_rfc3339(ctx.clock.now(), UtcSuffix::NumericOffset))});
    return v;
}

// The ledger's veth list set to these names, everything else in it kept as it stands. A
// ledger that is there but cannot be read or is not JSON is left alone: its entries are not
// to be replaced by an empty list (the ledger step that follows puts the backup's in place).
void restore_ledger_veth_list(const Context& ctx, const std::vector<std::string>& names) {
    const auto path = ctx.path(kManagedResourcesPath);
    auto file = read_state_file(path);
    JsonValue ledger;
    if (file.state == StateFileState::Missing) {
        ledger = new_ledger_object(ctx);
    } else {
        if (file.state != StateFileState::Loaded || !is_valid_utf8(file.value)) return;
        auto parsed = parse_json(file.value);
        if (!parsed) return;
        ledger = std::move(*parsed);
    }
    if (ledger.is_object()) {
        auto& members = ledger.members;
        members.erase(std::remove_if(members.begin(), members.end(),
                                     [](const JsonMember& m) { return m.key == "veth_pairs"; }),
                      members.end());
        members.push_back({"veth_pairs", json_texts(names)});
    }
    sort_keys(ledger);
    JsonWriter w;
    write_value(w, ledger);
    (void)write_state_file(path, w.text());
}

}  // namespace

std::string veth_profile_name(const std::string& from, const std::string& to) { return "veth-" + from + "-" + to; }

Status restore_libvirt_networks(const Context& ctx, const std::vector<LibvirtNetwork>& networks,
                                std::vector<std::string>* not_restored) {
    ctx.out << "[+] Restoring libvirt networks...\n";
    for (const auto& net : networks) {
        if (check(ctx, virsh_network_argv("net-info", net.name))) {
            ctx.out << "  - Network '" << net.name << "' already exists, skipping\n";
            continue;
        }
        // virsh defines the network the XML names: under another name it would make or replace
        // a network the entry does not speak of. The name is the root's own <name>, read as
        // virsh reads it (a commented-out or nested one is not it).
        auto defined_as = xml_root_child_text(net.xml_config, "name");
        if (!defined_as) {
            ctx.out << "  - Skipping libvirt network '" << net.name
                    << "': its definition cannot be read: " << defined_as.error().message << "\n";
            if (not_restored) not_restored->push_back(net.name);
            continue;
        }
        if (*defined_as && trim(**defined_as) != net.name) {
            ctx.out << "  - Skipping libvirt network '" << net.name << "': its definition is named '"
                    << trim(**defined_as) << "'\n";
            if (not_restored) not_restored->push_back(net.name);
            continue;
        }
        // A private file of a fresh name: nothing planted in /tmp is followed or reused.
        auto file = write_temp_xml(ctx, definition_file_stem("config-restore", {net.name}), net.xml_config);
        if (!file) return unexpected(file.error());
        auto defined = change(ctx, {"virsh", "net-define", file->path().string()});
        file->remove();
        if (!defined) return unexpected(defined.error());
        if (!*defined) {
            ctx.out << "  - Failed to restore libvirt network '" << net.name << "'\n";
            if (not_restored) not_restored->push_back(net.name);
            continue;
        }
        ctx.out << "  + Restored libvirt network '" << net.name << "'\n";
        if (net.autostart) change_quietly(ctx, virsh_network_argv("net-autostart", net.name));
        if (net.active) change_quietly(ctx, virsh_network_argv("net-start", net.name));
    }
    return {};
}

Status restore_bridge_macs(const Context& ctx, const BridgeMacMap& macs, std::vector<std::string>* failures) {
    ctx.out << "[+] Restoring bridge MAC addresses...\n";
    auto failed = [&](std::string what) {
        if (failures) failures->push_back(std::move(what));
    };
    for (const auto& [bridge, mac] : macs) {
        if (!link_exists(ctx, bridge)) {
            ctx.out << "  - Bridge '" << bridge << "' not found, skipping MAC address restore\n";
            failed("Bridge '" + bridge + "' was not found: its MAC address " + mac + " was not restored");
            continue;
        }
        auto set = change(ctx, {"ip", "link", "set", bridge, "address", mac});
        if (!set) return unexpected(set.error());
        if (*set) {
            ctx.out << "  + Restored MAC address " << mac << " for bridge '" << bridge << "'\n";
        } else {
            ctx.out << "  - Failed to restore MAC address for bridge '" << bridge << "'\n";
            failed("MAC address " + mac + " of bridge '" + bridge + "' was not restored");
        }
    }
    return {};
}

Status restore_veth_connections(const Context& ctx, const std::vector<VethConnection>& veths,
                                std::vector<std::string>& failures) {
    if (veths.empty()) return {};
    ctx.out << "[+] Restoring veth connections...\n";
    for (const auto& v : veths) {
        if (link_exists(ctx, v.veth_name)) {
            if (auto back = put_existing_pair_back(ctx, v, failures); !back) return back;
            continue;
        }
        const bool first = link_exists(ctx, v.bridge1);
        const bool second = link_exists(ctx, v.bridge2);
        if (!first || !second) {
            ctx.out << "  - Skipping veth pair '" << v.veth_name << "': one or both bridges don't exist\n";
            failures.push_back("Skipped veth pair '" + v.veth_name + "': one or both bridges don't exist");
            continue;
        }
        auto made = change(ctx, {"ip", "link", "add", v.veth_name, "type", "veth", "peer", "name", v.veth_peer});
        if (!made) return unexpected(made.error());
        if (!*made) {
            ctx.out << "  - Failed to create veth pair '" << v.veth_name << "'\n";
            failures.push_back("Failed to create veth pair '" + v.veth_name + "'");
            continue;
        }
        const std::string profile = veth_profile_name(v.bridge1, v.bridge2);
        const std::string peer_profile = veth_profile_name(v.bridge2, v.bridge1);
        add_veth_profile(ctx, v.veth_name, profile);
        add_veth_profile(ctx, v.veth_peer, peer_profile);
        // A pair that cannot stay on its bridges goes again.
        auto off_bridges = [&] {
            ctx.out << "  - Failed to add veth pair '" << v.veth_name << "' to bridges\n";
            failures.push_back("Failed to add veth pair '" + v.veth_name + "' to bridges");
            change_quietly(ctx, {"ip", "link", "delete", v.veth_name});
        };

        auto on_first = put_on_bridge(ctx, v.veth_name, v.bridge1);
        if (!on_first) return unexpected(Error{on_first.error().message()});
        auto on_second = put_on_bridge(ctx, v.veth_peer, v.bridge2);
        if (!on_second) return unexpected(Error{on_second.error().message()});
        if (!*on_first || !*on_second) {
            off_bridges();
            continue;
        }
        change_quietly(ctx, connection_up_argv(profile));
        change_quietly(ctx, connection_up_argv(peer_profile));
        auto kept = keep_on_bridges(ctx, v);
        if (!kept) return unexpected(kept.error());
        if (!*kept) {
            off_bridges();
            continue;
        }
        ctx.out << "  + Restored veth connection: " << v.veth_name << " <-> " << v.veth_peer << " (bridges: "
                << v.bridge1 << " <-> " << v.bridge2 << ") with NetworkManager persistence\n";
    }
    return {};
}

std::vector<std::string> veth_interface_names(const std::vector<VethConnection>& records) {
    std::vector<std::string> names;
    names.reserve(records.size() * 2);
    for (const auto& r : records) {
        names.push_back(r.veth_name);
        names.push_back(r.veth_peer);
    }
    return names;
}

void restore_bridge_topology(const Context& ctx, const BridgeTopology& topology, std::vector<std::string>* failures) {
    ctx.out << "[+] Restoring bridge topology...\n";
    create_directories_quietly(ctx.path(kStateDir));
    {
        StateLock lock(ctx);
        auto note = [&](std::string_view path, const Status& saved) {
            if (!saved && failures)
                failures->push_back("Bridge topology file " + std::string(path) +
                                    " was not restored: " + saved.error().message);
        };
        note(kMasterBridgesPath, save_state_file(ctx.path(kMasterBridgesPath), topology.master_bridges));
        note(kBridgeConnectionsPath, save_state_file(ctx.path(kBridgeConnectionsPath), topology.bridge_connections));
        restore_ledger_veth_list(ctx, veth_interface_names(topology.veth_pairs));
    }
    ctx.out << "  + Restored bridge topology with " << topology.master_bridges.size() << " master bridges and "
            << topology.veth_pairs.size() << " veth connections\n";
}

Status restore_managed_resources(const Context& ctx, const std::optional<ManagedResources>& resources) {
    const auto path = ctx.path(kManagedResourcesPath);
    if (!resources) {
        StateLock lock(ctx);
        (void)remove_file(path);
        ctx.out << "[+] Cleared managed resources tracking (not in backup)\n";
        return {};
    }
    if (auto made = make_directories(ctx.path(kStateDir)); !made) {
        ctx.err << "[!] Warning: Could not create directory " << kStateDir << ": " << made.error().message() << "\n";
        return {};
    }
    // Through a temporary file and a rename: a write that fails half-way must not leave a
    // ledger cut short in place of the one being restored.
    StateLock lock(ctx);
    if (auto saved = save_managed_resources(ctx, *resources); !saved) return saved;
    ctx.out << "[+] Restored managed resources tracking\n";
    return {};
}

}  // namespace qm
