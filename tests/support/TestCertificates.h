// A throwaway certificate authority that issues site certificates for one test run, written
// as PEM files.
#pragma once

#include <string>
#include <vector>

namespace sorv::test {

struct SiteCertificate {
  std::string cert, key;  // PEM file paths; empty when issuing failed
};

class TestAuthority {
 public:
  // Makes the authority's key and its self-signed certificate (folder/<name>-ca.pem).
  TestAuthority(const std::string& folder, const std::string& name = "test");
  ~TestAuthority();
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  bool ok() const { return key_ != nullptr; }
  const std::string& caFile() const { return caFile_; }

  // A certificate for hosts ("127.0.0.1", "localhost": addresses become IP names, others DNS
  // names), valid from `from` to `to` seconds from now, signed by this authority.
  SiteCertificate issue(const std::string& fileStem, const std::vector<std::string>& hosts,
                        long from = -3600, long to = 86400);

 private:
  std::string folder_, caFile_;
  void* key_ = nullptr;   // EVP_PKEY
  void* cert_ = nullptr;  // X509
};

}  // namespace sorv::test
