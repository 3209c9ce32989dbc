// TLS test certificates made once per program with openssl: a private CA, the
// agent's (CN agent1, DNS localhost, IP 127.0.0.1), a collector's (collector1),
// a stranger's, an expired one and another CA's; each <name>.pem and .key.
#pragma once

#include <cstdlib>
#include <string>

#include "support/testutil.h"

namespace testtls {

class Certs {
 public:
  // The one set of the program; ok() false when openssl is not there.
  static const Certs& get() {
    static Certs certs;
    return certs;
  }
  bool ok() const { return ok_; }
  std::string file(const std::string& name) const { return dir_.file(name); }
  // smtc's "--ca ... --cert ... --key ..." for the certificate named (empty: the CA only).
  std::string smtc_args(const std::string& cert) const {
    std::string args = "--ca " + file("ca.pem");
    if (!cert.empty()) args += " --cert " + file(cert + ".pem") + " --key " + file(cert + ".key");
    return args;
  }

 private:
  Certs() {
    const std::string d = dir_.path() + "/";
    auto req = [&](const std::string& name, const std::string& args) {
      return openssl("req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + d +
                     name + ".key " + args);
    };
    auto ca = [&](const std::string& n) {
      return req(n, "-x509 -days 30 -subj /CN=" + n + " -out " + d + n + ".pem");
    };
    auto leaf = [&](const std::string& name, const std::string& cn, const std::string& issuer,
                    const std::string& days, const std::string& ext = "") {
      return req(name, "-subj /CN=" + cn + ext + " -out " + d + name + ".csr") &&
             openssl("x509 -req -in " + d + name + ".csr -CA " + d + issuer + ".pem -CAkey " + d +
                     issuer + ".key -CAcreateserial -copy_extensions copyall -days " + days +
                     " -out " + d + name + ".pem");
    };
    ok_ =
        ca("ca") && ca("otherca") &&
        leaf("agent", "agent1", "ca", "30", " -addext subjectAltName=DNS:localhost,IP:127.0.0.1") &&
        leaf("collector", "collector1", "ca", "30") && leaf("stranger", "stranger", "ca", "30") &&
        leaf("expired", "collector1", "ca", "-1") && leaf("foreign", "collector1", "otherca", "30");
  }
  static bool openssl(const std::string& args) {
    return std::system(("openssl " + args + " >/dev/null 2>&1").c_str()) == 0;
  }

  testutil::TempDir dir_;
  bool ok_ = false;
};

}  // namespace testtls
