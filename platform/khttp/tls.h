// The HTTPS listeners' certificate: read from PEM files in the given
// directory, or made (self-signed) and saved there on first use.
#pragma once
#include <boost/asio/ssl/context.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>

namespace khttp {

// A server context for TLS 1.2 and later with the directory's certificate
// and key; a self-signed pair is generated and saved (key mode 0600) when
// neither file exists. nullptr and a Windows error number on failure.
std::unique_ptr<boost::asio::ssl::context> make_tls_context(const std::filesystem::path& dir,
                                                            uint32_t& error);

} // namespace khttp
