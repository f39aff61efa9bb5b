#include "LocalCertificate.h"

ProcessResult MakeLocalCertificate(const std::string& certFile, const std::string& keyFile)
{
    return RunProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                       "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", keyFile, "-out",
                       certFile});
}
