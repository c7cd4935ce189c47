"""The small program of every binding: open a session on COM1, send a status query,
read the reply, close. Run it with a printer (or `moldrin sim`) on COM1."""
import moldrin

print("library:", moldrin.version())
with moldrin.Session(port=1, timeout=5) as ecf:
    print("status 27 1:", ecf.send("\x1B.271}"))
    print("traffic log:", ecf.log_path())
