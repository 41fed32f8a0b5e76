"""Reads a message file with Python's email package and prints, one line per
leaf part: content type, file name ("-" for none), the decoded body in hex ("-"
when empty) and the number of defects the parser found in that part. The first
line is the same for the whole message, without a body."""
import email
import sys

with open(sys.argv[1], "rb") as source:
    message = email.message_from_binary_file(source)
print(message.get_content_type(), message.get_filename() or "-", "-", len(message.defects))
for part in message.walk():
    if part.is_multipart():
        continue
    body = part.get_payload(decode=True) or b""
    print(part.get_content_type(), part.get_filename() or "-", body.hex() or "-",
          len(part.defects))
