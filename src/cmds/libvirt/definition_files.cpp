#include "cmds/libvirt/definition_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>

#include "utils/paths.hpp"
#include "utils/xml.hpp"

namespace qm {

std::string network_definition_xml(std::string_view name, std::string_view bridge) {
    return "<network>\n  <name>" + xml_escape(name) + "</name>\n  <forward mode='bridge'/>\n  <bridge name='" +
           xml_escape(bridge) + "'/>\n</network>";
}

std::string interface_definition_xml(std::string_view network) {
    return "<interface type='network'>\n  <source network='" + xml_escape(network) +
           "'/>\n  <model type='virtio'/>\n</interface>";
}

std::string interface_removal_xml(std::string_view network, std::string_view mac) {
    return "<interface type='network'>\n  <mac address='" + xml_escape(mac) + "'/>\n  <source network='" +
           xml_escape(network) + "'/>\n</interface>";
}

namespace {

// 0 or the errno of the failure; a partly written file is removed.
int create_private_file(const std::filesystem::path& path, std::string_view content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    std::size_t done = 0;
    int error = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) ::unlink(path.c_str());
    return error;
}

// The stem as one file-name component, short enough to leave room for the suffix.
std::string file_stem(std::string_view stem) {
    constexpr std::size_t kMaxStem = 200;
    std::string s(stem);
    for (char& c : s)
        if (c == '/') c = '_';
    if (s.size() > kMaxStem) {
        std::size_t cut = kMaxStem;
        // Do not split a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
        s.resize(cut);
    }
    return s;
}

std::string random_suffix(std::random_device& rd) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string s;
    for (int word = 0; word < 2; ++word) {
        std::uint32_t v = rd();
        for (int i = 0; i < 8; ++i) {
            s += kHex[v & 0xF];
            v >>= 4;
        }
    }
    return s;
}

}  // namespace

Status write_new_private_file(const std::filesystem::path& path, std::string_view content) {
    if (int error = create_private_file(path, content); error != 0) return fail(std::strerror(error));
    return {};
}

Result<std::filesystem::path> write_temp_xml(const Context& ctx, std::string_view stem, std::string_view content) {
    const std::filesystem::path dir = ctx.path(kTempDir);
    const std::string base = file_stem(stem);
    std::random_device rd;
    int error = EEXIST;
    // A name already taken (planted or left over) is never reused: draw another.
    for (int attempt = 0; attempt < 16 && error == EEXIST; ++attempt) {
        std::filesystem::path path = dir / (base + "." + random_suffix(rd) + ".xml");
        error = create_private_file(path, content);
        if (error == 0) return path;
    }
    return fail(std::strerror(error));
}

}  // namespace qm
