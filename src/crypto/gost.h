#pragma once

#include <cstdint>

#include <openssl/x509.h>

// GOST R 34.10-2012 keys (and the GOST ciphers, digests and key transport their challenges
// use) come from Debian's GOST engine for OpenSSL (libengine-gost-openssl). The engine is
// loaded on first need, where OpenSSL looks for engines (the folder named by
// OPENSSL_ENGINES, else the library's own engines folder). Without it GOST certificates are
// still listed and read, since none of that touches the key; only using the key fails.
namespace agent::crypto {

// Loads the engine once per process and makes it OpenSSL's default for the GOST
// algorithms; true when it is there. Thread-safe; the first call logs the outcome.
bool gost_available();

// The certificate's public key is a GOST R 34.10-2001 or 2012 key (256 or 512 bits). Read
// from the algorithm identifier alone, so it works without the engine.
bool is_gost_key(X509* certificate);

// Throws CryptoException with the engine's load failure (call "ENGINE_by_id") and logs an
// ERROR line saying what to install, when the certificate has a GOST key and the engine
// could not be loaded. Called before a GOST key is loaded or asked a PIN for.
void require_gost_support(X509* certificate);

}  // namespace agent::crypto
