#!/usr/bin/env bash
# The vault on Linux: stores a key and reads it back in a private keyring session, with a
# stand-in for polkit answering the presence check. Nothing of the machine's own keyring,
# session bus or polkit is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"

# The shipped vkcofre asks the system's polkit; the demo uses the test build of the same program,
# which asks the stand-in on a private bus instead.
cmake --build "$build" --target vkcofre_sistema >/dev/null
vk="$build/tests/system/vkcofre/vkcofre_sistema"

read -r -d '' demo <<'PY' || true
import base64, os, subprocess, sys
sys.path.insert(0, 'tests/system/vkcofre')
from sesion import abrir, SERVICIO

vk = sys.argv[1]
def paso(titulo, *args, entrada=b''):
    r = subprocess.run([vk, *args], input=entrada, capture_output=True, env=s.entorno_vkcofre())
    print(f'$ vkcofre {" ".join(args)}\n  {r.stdout.decode().strip()}   (estado {r.returncode})  <- {titulo}')
    return r

with abrir() as s:
    s.iniciar_polkit('autorizar')
    clave = os.urandom(32)
    print('clave nueva:', base64.b64encode(clave).decode())
    paso('llavero vacío', 'estado')
    paso('guardar la clave', 'guardar', entrada=base64.b64encode(clave) + b'\n')
    r = subprocess.run(['secret-tool', 'search', 'service', SERVICIO, 'account', 'clave-maestra'],
                       capture_output=True, env=s.entorno)
    print('secret-tool ve el item:')
    for linea in (r.stdout + r.stderr).decode(errors='replace').splitlines():
        if not linea.startswith('secret ='):  # the bytes themselves stay off the screen
            print('  ' + linea)
    r = paso('polkit autoriza', 'leer')
    leida = base64.b64decode(__import__('json').loads(r.stdout)['clave'])
    print('  la clave leída es la guardada:', leida == clave)
    s.respuesta_polkit('descartar')
    paso('el usuario cierra el diálogo', 'leer')
    paso('borrar', 'borrar')
    paso('ya no hay nada', 'leer')
PY

dbus-run-session --config-file=tests/system/vkcofre/bus.conf -- /usr/bin/python3 -c "$demo" "$vk" 2>/dev/null
