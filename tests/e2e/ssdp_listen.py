# Joins the SSDP group on LOCAL_ADDRESS and appends every NOTIFY it hears to OUT, with LF line
# ends and a line "==========" after each; prints "ready" once it listens. The host's own
# searches are left out.
# usage: python3 ssdp_listen.py OUT LOCAL_ADDRESS
import socket
import struct
import sys

out, local = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
s.bind(("", 1900))
mreq = struct.pack("4s4s", socket.inet_aton("239.255.255.250"), socket.inet_aton(local))
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
print("ready", flush=True)
while True:
    data, _ = s.recvfrom(65536)
    if not data.startswith(b"NOTIFY"):
        continue
    with open(out, "ab") as f:
        f.write(data.replace(b"\r\n", b"\n") + b"\n==========\n")
