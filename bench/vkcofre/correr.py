'''Benchmark session: a private keyring and the polkit stand-in answering at once, then the
timer. Run: dbus-run-session --config-file=tests/system/vkcofre/bus.conf -- \
            /usr/bin/python3 bench/vkcofre/correr.py <vkcofre_bench> <vkcofre_sistema> [runs]'''

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tests', 'system', 'vkcofre'))
from sesion import abrir  # noqa: E402

medidor, vkcofre = sys.argv[1], sys.argv[2]
veces = sys.argv[3] if len(sys.argv) > 3 else '30'
with abrir() as s:
    s.iniciar_polkit('autorizar')
    sys.exit(subprocess.run([medidor, vkcofre, veces], env=s.entorno_vkcofre()).returncode)
