// Passwords and tokens: password hashes made and checked with libsodium's
// crypto_pwhash, new random secrets, token hashes, and the "user" and
// "token" commands that keep users and tokens in the operator database.
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "server/operator/operator.h"

namespace {

constexpr size_t TOKEN_BYTES = 24;
constexpr size_t SHORTEST_PASSWORD = 8;
const char* const DEFAULT_CONFIG = "/etc/velmorant/station.toml";

// A database made by root (an administrator running "user add") belongs to
// whoever owns its folder, so the server's own user can still write it.
void giveToFolderOwner(const std::string& database) {
    struct stat folder;
    if (geteuid() != 0 || stat(folderOf(database).c_str(), &folder) != 0 || folder.st_uid == 0) {
        return;
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string file = database + suffix;
        if (access(file.c_str(), F_OK) == 0 && chown(file.c_str(), folder.st_uid, folder.st_gid) != 0) {
            std::fprintf(stderr, "velmorant-server: cannot give %s to its folder's owner\n", file.c_str());
        }
    }
}

}  // namespace

std::string hashPassword(const std::string& password) {
    if (sodium_init() < 0) {
        return std::string();
    }
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        return std::string();
    }
    return hash;
}

bool passwordMatches(const std::string& hash, const std::string& password) {
    if (sodium_init() < 0 || hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) {
        return false;
    }
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string newSecret() {
    if (sodium_init() < 0) {
        return std::string();
    }
    unsigned char bytes[TOKEN_BYTES];
    randombytes_buf(bytes, sizeof bytes);
    char hex[TOKEN_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

std::string tokenHash(const std::string& token) {
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), nullptr, 0);
    char hex[crypto_generichash_BYTES * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

int operatorCommand(int argc, char** argv) {
    const char* const usage =
        "usage:\n"
        "  velmorant-server user add NAME [--config station.toml]    (password on stdin)\n"
        "  velmorant-server user hash                                (password on stdin; prints a "
        "password_hash)\n"
        "  velmorant-server token add NAME [--config station.toml]   (prints the new token)\n"
        "  velmorant-server token revoke NAME [--config station.toml]\n"
        "The configuration defaults to /etc/velmorant/station.toml.\n";
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string configPath = DEFAULT_CONFIG;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--config" && i + 1 < args.size()) {
            configPath = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                       args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
            break;
        }
    }
    const bool userHash = args.size() == 2 && args[0] == "user" && args[1] == "hash";
    if (!userHash && (args.size() != 3 || args[2].empty() || args[2][0] == '-' ||
                      !((args[0] == "user" && args[1] == "add") ||
                        (args[0] == "token" && (args[1] == "add" || args[1] == "revoke"))))) {
        std::fputs(usage, stderr);
        return 2;
    }
    if (sodium_init() < 0) {
        std::fprintf(stderr, "velmorant-server: libsodium cannot start\n");
        return 1;
    }
    std::string password;
    if (args[0] == "user") {
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r') {
            password.pop_back();
        }
        if (password.size() < SHORTEST_PASSWORD) {
            std::fprintf(stderr, "velmorant-server: a password needs at least %zu characters\n",
                         SHORTEST_PASSWORD);
            return 1;
        }
    }
    if (userHash) {
        const std::string hash = hashPassword(password);
        if (hash.empty()) {
            return 1;
        }
        std::printf("%s\n", hash.c_str());
        return 0;
    }
    StationConfig station;
    OperatorConfig config;
    std::vector<std::string> problems;
    const bool ok = loadStationConfig(configPath, &station, &problems) &&
                    loadOperatorConfig(configPath, station, &config, &problems);
    for (const std::string& problem : problems) {
        std::fprintf(stderr, "%s: %s\n", configPath.c_str(), problem.c_str());
    }
    if (!ok) {
        return 2;
    }
    std::string error;
    OperatorDb* db = operatorDbOpen(config.database, &error);
    if (db == nullptr) {
        std::fprintf(stderr, "velmorant-server: %s\n", error.c_str());
        return 1;
    }
    int status = 0;
    const std::string& name = args[2];
    if (args[0] == "user") {
        const std::string hash = hashPassword(password);
        status = !hash.empty() && operatorDbSetUser(db, name, hash) ? 0 : 1;
        std::fprintf(stderr, status == 0 ? "user %s saved\n" : "user %s could not be saved\n", name.c_str());
    } else if (args[1] == "add") {
        const std::string token = newSecret();
        status = !token.empty() && operatorDbAddToken(db, name, tokenHash(token)) ? 0 : 1;
        if (status == 0) {
            // The token is shown this once; only its hash is kept.
            std::printf("%s\n", token.c_str());
        }
    } else if (!operatorDbRevokeToken(db, name)) {
        std::fprintf(stderr, "velmorant-server: no token named %s in %s\n", name.c_str(),
                     config.database.c_str());
        status = 1;
    } else {
        std::fprintf(stderr, "token %s revoked\n", name.c_str());
    }
    operatorDbClose(db);
    giveToFolderOwner(config.database);
    return status;
}
