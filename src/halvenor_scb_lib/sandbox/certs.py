"""Throwaway certificate authorities: the sandbox's TLS server certificate, and a client certificate for
a bank that asks for mutual TLS."""

from __future__ import annotations

import datetime
import ipaddress
import os
import secrets
from dataclasses import dataclass

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

# Backdated so a client whose clock runs a little behind still accepts the certificates.
CLOCK_SKEW = datetime.timedelta(days=1)
VALIDITY = datetime.timedelta(days=365)


CLIENT_NAME = "halvenor SCB sandbox client"


@dataclass(frozen=True)
class CertificateFiles:
    ca_file: str
    cert_file: str
    key_file: str
    client_ca_file: str
    """The CA that signs the client certificate, the one a bank asking for mutual TLS trusts."""
    client_cert_file: str
    client_key_file: str
    client_encrypted_key_file: str
    """The client certificate's key again, encrypted with client_key_password."""
    client_key_password: str


def write_certificates(directory: str) -> CertificateFiles:
    """Create a fresh CA with a server certificate for 127.0.0.1/localhost, and a client CA with a client
    certificate, its key plain and encrypted."""
    os.makedirs(directory, exist_ok=True)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_cert = _ca_certificate(ca_key, "halvenor SCB sandbox CA")
    server_key = ec.generate_private_key(ec.SECP256R1())
    server_cert = _server_certificate(server_key, ca_cert, ca_key)
    client_ca_key = ec.generate_private_key(ec.SECP256R1())
    client_ca_cert = _ca_certificate(client_ca_key, "halvenor SCB sandbox client CA")
    client_key = ec.generate_private_key(ec.SECP256R1())
    client_cert = _client_certificate(client_key, client_ca_cert, client_ca_key)
    files = CertificateFiles(
        ca_file=os.path.join(directory, "ca.pem"),
        cert_file=os.path.join(directory, "server.pem"),
        key_file=os.path.join(directory, "server-key.pem"),
        client_ca_file=os.path.join(directory, "client-ca.pem"),
        client_cert_file=os.path.join(directory, "client.pem"),
        client_key_file=os.path.join(directory, "client-key.pem"),
        client_encrypted_key_file=os.path.join(directory, "client-key-encrypted.pem"),
        client_key_password=secrets.token_urlsafe(12),
    )
    _write(files.ca_file, ca_cert.public_bytes(serialization.Encoding.PEM), 0o644)
    _write(files.cert_file, server_cert.public_bytes(serialization.Encoding.PEM), 0o644)
    _write(files.key_file, _private_pem(server_key), 0o600)
    _write(files.client_ca_file, client_ca_cert.public_bytes(serialization.Encoding.PEM), 0o644)
    _write(files.client_cert_file, client_cert.public_bytes(serialization.Encoding.PEM), 0o644)
    _write(files.client_key_file, _private_pem(client_key), 0o600)
    encryption = serialization.BestAvailableEncryption(files.client_key_password.encode())
    _write(files.client_encrypted_key_file, _private_pem(client_key, encryption), 0o600)
    return files


def _ca_certificate(key: ec.EllipticCurvePrivateKey, common_name: str) -> x509.Certificate:
    name = x509.Name(
        [
            x509.NameAttribute(NameOID.ORGANIZATION_NAME, "halvenor SCB sandbox"),
            x509.NameAttribute(NameOID.COMMON_NAME, common_name),
        ]
    )
    public_key = key.public_key()
    return (
        _builder(name, name, public_key)
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(_key_usage(key_cert_sign=True), critical=True)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(public_key), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(public_key), critical=False)
        .sign(key, hashes.SHA256())
    )


def _server_certificate(
    key: ec.EllipticCurvePrivateKey, ca_cert: x509.Certificate, ca_key: ec.EllipticCurvePrivateKey
) -> x509.Certificate:
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
    public_key = key.public_key()
    ca_ski = ca_cert.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value
    alt_names = [x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.DNSName("localhost")]
    return (
        _builder(name, ca_cert.subject, public_key)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(_key_usage(digital_signature=True), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectAlternativeName(alt_names), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(public_key), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski), critical=False)
        .sign(ca_key, hashes.SHA256())
    )


def _client_certificate(
    key: ec.EllipticCurvePrivateKey, ca_cert: x509.Certificate, ca_key: ec.EllipticCurvePrivateKey
) -> x509.Certificate:
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, CLIENT_NAME)])
    public_key = key.public_key()
    ca_ski = ca_cert.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value
    return (
        _builder(name, ca_cert.subject, public_key)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(_key_usage(digital_signature=True), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CLIENT_AUTH]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(public_key), critical=False)
        .add_extension(x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski), critical=False)
        .sign(ca_key, hashes.SHA256())
    )


def _builder(subject: x509.Name, issuer: x509.Name, public_key: ec.EllipticCurvePublicKey) -> x509.CertificateBuilder:
    now = datetime.datetime.now(datetime.timezone.utc)
    return (
        x509.CertificateBuilder()
        .subject_name(subject)
        .issuer_name(issuer)
        .public_key(public_key)
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - CLOCK_SKEW)
        .not_valid_after(now + VALIDITY)
    )


def _key_usage(*, digital_signature: bool = False, key_cert_sign: bool = False) -> x509.KeyUsage:
    return x509.KeyUsage(
        digital_signature=digital_signature,
        content_commitment=False,
        key_encipherment=False,
        data_encipherment=False,
        key_agreement=False,
        key_cert_sign=key_cert_sign,
        crl_sign=key_cert_sign,
        encipher_only=False,
        decipher_only=False,
    )


def _private_pem(
    key: ec.EllipticCurvePrivateKey,
    encryption: serialization.KeySerializationEncryption = serialization.NoEncryption(),
) -> bytes:
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, encryption)


def _write(path: str, data: bytes, mode: int) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, mode)
    with os.fdopen(fd, "wb") as handle:
        handle.write(data)
    os.chmod(path, mode)
