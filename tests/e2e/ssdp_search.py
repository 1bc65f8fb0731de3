# Sends M-SEARCH from this host and prints every answer it gets within the wait, one line
# each: "ROUND<TAB>LOCATION<TAB>ST<TAB>USN<TAB>sender address". A raw client, so that each
# answer is counted (the GSSDP library folds repeated answers into one). Each round searches
# from a new socket.
# usage: python3 ssdp_search.py LOCAL_ADDRESS DESTINATION TARGET WAIT_SECONDS [ROUNDS]
import socket
import sys
import time

local, destination, target = sys.argv[1], sys.argv[2], sys.argv[3]
wait = float(sys.argv[4])
rounds = int(sys.argv[5]) if len(sys.argv) > 5 else 1
message = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
           "MX: 1\r\nST: %s\r\n\r\n" % target).encode()
for round in range(1, rounds + 1):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((local, 0))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(local))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 4)
    s.sendto(message, (destination, 1900))
    end = time.monotonic() + wait
    while True:
        left = end - time.monotonic()
        if left <= 0:
            break
        s.settimeout(left)
        try:
            data, sender = s.recvfrom(65536)
        except socket.timeout:
            break
        headers = {}
        for line in data.decode("latin-1").split("\r\n")[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().upper()] = value.strip()
        print("%d\t%s\t%s\t%s\t%s" % (round, headers.get("LOCATION", ""), headers.get("ST", ""),
                                      headers.get("USN", ""), sender[0]), flush=True)
    s.close()
