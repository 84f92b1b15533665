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

namespace {

// The new password, from the first line of stdin.
bool readPassword(std::string* password) {
    std::getline(std::cin, *password);
    if (!password->empty() && password->back() == '\r') {
        password->pop_back();
    }
    if (password->size() < SHORTEST_PASSWORD) {
        std::fprintf(stderr, "velmorant-server: a password needs at least %zu characters\n",
                     SHORTEST_PASSWORD);
        return false;
    }
    return true;
}

// One change to the users or tokens of an open operator database.
int changeAccounts(const OperatorCommand& command, OperatorDb* db, const std::string& password,
                   const std::string& database) {
    const std::string& name = command.name;
    if (command.area == "user" && command.action == "add") {
        // A running server ends the user's sessions when it sees the new hash.
        const std::string hash = hashPassword(password);
        const bool saved = !hash.empty() && operatorDbSetUser(db, name, hash);
        std::fprintf(stderr, saved ? "user %s saved\n" : "user %s could not be saved\n", name.c_str());
        return saved ? 0 : 1;
    }
    if (command.area == "user") {
        if (!operatorDbRemoveUser(db, name)) {
            std::fprintf(stderr, "velmorant-server: no user named %s in %s\n", name.c_str(),
                         database.c_str());
            return 1;
        }
        std::fprintf(stderr, "user %s removed; their sessions end\n", name.c_str());
        return 0;
    }
    if (command.action == "add") {
        const std::string token = newSecret();
        if (token.empty() || !operatorDbAddToken(db, name, tokenHash(token))) {
            return 1;
        }
        // The token is shown this once; only its hash is kept.
        std::printf("%s\n", token.c_str());
        return 0;
    }
    if (!operatorDbRevokeToken(db, name)) {
        std::fprintf(stderr, "velmorant-server: no token named %s in %s\n", name.c_str(), database.c_str());
        return 1;
    }
    std::fprintf(stderr, "token %s revoked\n", name.c_str());
    return 0;
}

}  // namespace

int runOperatorCommand(const OperatorCommand& command) {
    if (sodium_init() < 0) {
        std::fprintf(stderr, "velmorant-server: libsodium cannot start\n");
        return 1;
    }
    std::string password;
    const bool needsPassword = command.area == "user" && command.action != "remove";
    if (needsPassword && !readPassword(&password)) {
        return 1;
    }
    if (command.action == "hash") {
        const std::string hash = hashPassword(password);
        if (hash.empty()) {
            return 1;
        }
        std::printf("%s\n", hash.c_str());
        return 0;
    }
    const std::string configPath = command.config.empty() ? DEFAULT_CONFIG : command.config;
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
    const int status = changeAccounts(command, db, password, config.database);
    operatorDbClose(db);
    giveToFolderOwner(config.database);
    return status;
}
