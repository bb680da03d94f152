"""The command line that every FTP server launcher of Kestrel's tests takes (tls_ftpd.py,
twisted_ftpd.py, aioftp_ftpd.py), as RealFtpServer gives it:

    --address A --port P --root DIR --user U --password W
    [--cert CERT.pem --key KEY.pem] [--implicit] [--debug]
"""

import argparse


def parse(description, tls_required=False):
    """The parsed options; --cert and --key are required with tls_required."""
    parser = argparse.ArgumentParser(description=description.splitlines()[0])
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--cert", required=tls_required)
    parser.add_argument("--key", required=tls_required)
    parser.add_argument("--implicit", action="store_true")
    parser.add_argument("--debug", action="store_true", help="log every command and reply")
    return parser.parse_args()
