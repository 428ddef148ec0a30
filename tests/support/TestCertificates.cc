#include "tests/support/TestCertificates.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace sorv::test {
namespace {

bool addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for key named cn, without extensions or signature yet.
X509* newCertificate(EVP_PKEY* key, const std::string& cn, long from, long to) {
  static long serial = 1;
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), from);
  X509_gmtime_adj(X509_getm_notAfter(cert), to);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  return cert;
}

bool writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  bool ok = cert ? PEM_write_X509(f, cert) == 1
                 : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

TestAuthority::TestAuthority(const std::string& folder, const std::string& name)
    : folder_(folder), caFile_(folder + "/" + name + "-ca.pem") {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) return;
  X509* cert = newCertificate(key, "Sorv test authority " + name, -86400, 86400 * 30);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  bool ok = addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE") &&
            addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign") &&
            addExtension(cert, cert, NID_subject_key_identifier, "hash") &&
            X509_sign(cert, key, EVP_sha256()) > 0 && writePem(caFile_, cert, nullptr);
  if (!ok) {
    X509_free(cert);
    EVP_PKEY_free(key);
    return;
  }
  key_ = key;
  cert_ = cert;
}

TestAuthority::~TestAuthority() {
  X509_free(static_cast<X509*>(cert_));
  EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
}

SiteCertificate TestAuthority::issue(const std::string& fileStem,
                                     const std::vector<std::string>& hosts, long from, long to) {
  if (!ok() || hosts.empty()) return {};
  auto* caKey = static_cast<EVP_PKEY*>(key_);
  auto* caCert = static_cast<X509*>(cert_);
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) return {};
  X509* cert = newCertificate(key, hosts.front(), from, to);
  X509_set_issuer_name(cert, X509_get_subject_name(caCert));
  std::string names;
  for (const auto& h : hosts) {
    unsigned char addr[16];
    bool ip = inet_pton(AF_INET, h.c_str(), addr) == 1 || inet_pton(AF_INET6, h.c_str(), addr) == 1;
    names += (names.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + h;
  }
  SiteCertificate files{folder_ + "/" + fileStem + ".pem", folder_ + "/" + fileStem + "-key.pem"};
  bool ok = addExtension(cert, caCert, NID_subject_alt_name, names) &&
            addExtension(cert, caCert, NID_basic_constraints, "CA:FALSE") &&
            addExtension(cert, caCert, NID_ext_key_usage, "serverAuth") &&
            addExtension(cert, caCert, NID_authority_key_identifier, "keyid") &&
            X509_sign(cert, caKey, EVP_sha256()) > 0 && writePem(files.cert, cert, nullptr) &&
            writePem(files.key, nullptr, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok ? files : SiteCertificate{};
}

}  // namespace sorv::test
