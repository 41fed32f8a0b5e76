#ifndef BRENVOX_TLSOPTIONS_H
#define BRENVOX_TLSOPTIONS_H

#include <string>

// How the server's certificate is checked.
struct TlsOptions {
    // Checked against the certificate: a DNS name, or an IP address for a literal.
    std::string serverName;
    // PEM certificates to trust instead of the system store; empty: the system store.
    std::string caFile;
    // No certificate or name check at all.
    bool insecure = false;
};

#endif
