#!/usr/bin/python3
# A real SMTP server (aiosmtpd) on the loopback that keeps each message it
# takes as a file in FOLDER, and prints its port once it listens.
#   smtp_sink.py FOLDER [--refuse ADDR] [--stall ADDR] [--close ADDR]
# --refuse: 550 to RCPT TO:<ADDR>; --stall: after the data of a message to
# ADDR, no reply (the client's bound ends it); --close: after that data, the
# connection closed without a reply.
import argparse, asyncio, os
from aiosmtpd.smtp import SMTP

parser = argparse.ArgumentParser()
parser.add_argument("folder")
for mode in ("refuse", "stall", "close"):
    parser.add_argument("--" + mode, action="append", default=[])
args = parser.parse_args()

class Keeper:
    count = 0
    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.lower() in args.refuse:
            return "550 5.1.1 no such mailbox here"
        envelope.rcpt_tos.append(address)
        return "250 OK"
    async def handle_DATA(self, server, session, envelope):
        to = envelope.rcpt_tos[0].lower()
        if to in args.stall:
            await asyncio.sleep(3600)
        if to in args.close:
            server.transport.close()
            return "421 closing"
        Keeper.count += 1
        name = os.path.join(args.folder, "%03d.eml" % Keeper.count)
        with open(name + ".tmp", "wb") as f:
            f.write(("X-Envelope: %s %s\r\n" % (envelope.mail_from, " ".join(envelope.rcpt_tos))).encode())
            f.write(envelope.original_content)
        os.rename(name + ".tmp", name)
        return "250 2.0.0 kept"

async def serve():
    server = await asyncio.get_running_loop().create_server(lambda: SMTP(Keeper(), decode_data=False), "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()

asyncio.run(serve())
