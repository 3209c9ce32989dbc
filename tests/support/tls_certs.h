// Certificates for the TLS tests, made once per test program with the
// openssl command in a directory of their own: a private CA, the agent's
// certificate (CN agent1, DNS localhost, IP 127.0.0.1), a collector's
// (CN collector1), one of another CN (stranger), an expired one, and one of
// another CA. Keys are PEM files beside their certificates, private to the
// owner as openssl writes them.
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
  // "--ca ... --cert ... --key ..." for smtc with the certificate named
  // (empty: no certificate, only the CA).
  std::string smtc_args(const std::string& cert) const {
    std::string args = "--ca " + file("ca.pem");
    if (!cert.empty()) args += " --cert " + file(cert + ".pem") + " --key " + file(cert + ".key");
    return args;
  }

 private:
  Certs() {
    const std::string d = dir_.path() + "/";
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    auto ca = [&](const std::string& name) {
      return run("req -x509" + key + " -keyout " + d + name + ".key -out " + d + name +
                 ".pem -days 30 -subj /CN=" + name);
    };
    auto leaf = [&](const std::string& name, const std::string& cn, const std::string& issuer,
                    const std::string& days, const std::string& ext) {
      return run("req" + key + " -keyout " + d + name + ".key -out " + d + name +
                 ".csr -subj /CN=" + cn + ext) &&
             run("x509 -req -in " + d + name + ".csr -CA " + d + issuer + ".pem -CAkey " + d +
                 issuer + ".key -CAcreateserial -copy_extensions copyall -days " + days + " -out " +
                 d + name + ".pem");
    };
    ok_ =
        ca("ca") && ca("otherca") &&
        leaf("agent", "agent1", "ca", "30", " -addext subjectAltName=DNS:localhost,IP:127.0.0.1") &&
        leaf("collector", "collector1", "ca", "30", "") &&
        leaf("stranger", "stranger", "ca", "30", "") &&
        leaf("expired", "collector1", "ca", "-1", "") &&
        leaf("foreign", "collector1", "otherca", "30", "");
  }
  bool run(const std::string& args) {
    return std::system(("openssl " + args + " >/dev/null 2>&1").c_str()) == 0;
  }

  testutil::TempDir dir_;
  bool ok_ = false;
};

}  // namespace testtls
