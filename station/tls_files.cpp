// SPDX-License-Identifier: GPL-3.0-or-later
#include "tls_files.h"

#include "connection.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qn480::station {

namespace {

// OpenSSL's reason for the last failure, its queue emptied.
std::string openSslReason()
{
    const unsigned long code = ERR_peek_error(); // the first: the cause, not its wrappers
    ERR_clear_error();
    const char *reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : "not a PEM file";
}

void mustRead(const std::string &file)
{
    std::FILE *f = std::fopen(file.c_str(), "r");
    if (!f)
        throw ConnectionError("cannot read " + file + ": " + std::strerror(errno));
    std::fclose(f);
}

} // namespace

void checkTlsFiles(const std::string &caFile, const std::string &certFile,
                   const std::string &keyFile)
{
    for (const std::string *file : {&caFile, &certFile, &keyFile}) {
        if (!file->empty())
            mustRead(*file);
    }
    if (caFile.empty() && certFile.empty() && keyFile.empty())
        return;
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(
        SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
    if (!context)
        throw ConnectionError("cannot set up TLS: " + openSslReason());
    // An encrypted key would ask for its pass phrase on the terminal, where a service has none.
    SSL_CTX_set_default_passwd_cb(context.get(), [](char *, int, int, void *) { return 0; });
    ERR_clear_error();
    if (!caFile.empty() &&
        SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr) != 1)
        throw ConnectionError("the CA file " + caFile + " cannot be used: " + openSslReason());
    if (!certFile.empty() &&
        SSL_CTX_use_certificate_chain_file(context.get(), certFile.c_str()) != 1)
        throw ConnectionError("the certificate " + certFile +
                              " cannot be used: " + openSslReason());
    if (!keyFile.empty()) {
        const bool loaded =
            SSL_CTX_use_PrivateKey_file(context.get(), keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
        const bool mismatch =
            !loaded && ERR_GET_REASON(ERR_peek_error()) == X509_R_KEY_VALUES_MISMATCH;
        if (mismatch || (loaded && SSL_CTX_check_private_key(context.get()) != 1))
            throw ConnectionError("the key " + keyFile + " does not belong to the certificate " +
                                  certFile + ": " + openSslReason());
        if (!loaded)
            throw ConnectionError("the key " + keyFile + " cannot be used: " + openSslReason());
    }
}

} // namespace qn480::station
