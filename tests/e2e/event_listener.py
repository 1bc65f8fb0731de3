# A GENA event receiver for the end-to-end scripts: listens on ADDRESS (any port), prints the
# port, and writes each NOTIFY it receives to FOLDER/NNN.event (the path, the headers, a blank
# line, the body), answering 200. Runs until killed.
import http.server
import os
import sys
import time

folder, address = sys.argv[1], sys.argv[2]
count = 0


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_NOTIFY(self):
        global count
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        partial = os.path.join(folder, "%03d.tmp" % count)
        with open(partial, "wb") as f:
            f.write(("PATH: %s\n" % self.path).encode())
            f.write(("RECEIVED: %.3f\n" % time.time()).encode())
            for k, v in self.headers.items():
                f.write(("%s: %s\n" % (k.upper(), v)).encode())
            f.write(b"\n" + body)
        os.rename(partial, os.path.join(folder, "%03d.event" % count))
        count += 1
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.HTTPServer((address, 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
