'''System tests of vkcofre against a real Secret Service and the polkit stand-in.

Each case runs in its own private session (see sesion.py); CTest runs one case per test.
'''

import concurrent.futures
import os
import shutil
import stat

from sesion import ACCION, LOGIN, SERVICIO, SESION, abrir, b64, cierto, correr, igual

CLAVE = bytes(range(1, 33))
OTRA = bytes(range(100, 132))
ETIQUETA = 'Veskora · clave de cifrado'


def guardar(s, vk, datos=CLAVE):
    r = s.vkcofre(vk, 'guardar', entrada=(b64(datos) + '\n').encode())
    igual((r.codigo, r.respuesta), (0, {'ok': True}), f'guardar {r}')


def estado_vacio(vk, **_):
    with abrir() as s:
        s.iniciar_polkit()
        r = s.vkcofre(vk, 'estado')
        igual(r.codigo, 0, 'estado')
        igual(r.respuesta, {'ok': True, 'biometria': True, 'motivo': None, 'llavero': True,
                            'motivoLlavero': None, 'guardada': False, 'secreto': False}, 'estado vacío')
        igual(s.items(service=SERVICIO), [], 'la sonda no deja nada')
        igual(s.preguntas_polkit(), [], 'estado no pregunta')


def guardar_y_secret_tool(vk, **_):
    with abrir() as s:
        s.iniciar_polkit()
        guardar(s, vk)
        # The desktop's own client sees one item, with our attributes, label and bytes.
        r = s.secret_tool('lookup', 'service', SERVICIO, 'account', 'clave-maestra')
        igual((r.returncode, r.stdout), (0, CLAVE), 'secret-tool lookup')
        r = s.secret_tool('search', '--all', 'service', SERVICIO, 'account', 'clave-maestra')
        salida = (r.stdout + r.stderr).decode('utf-8', errors='replace').splitlines()
        igual(sum(1 for l in salida if l.startswith('[')), 1, 'secret-tool search: un item')
        igual([l for l in salida if l.startswith('label = ')], ['label = ' + ETIQUETA], 'secret-tool: etiqueta')
        encontrados = s.items(service=SERVICIO, account='clave-maestra')
        igual(len(encontrados), 1, 'un solo item')
        _, etiqueta, atributos, datos = encontrados[0]
        igual(etiqueta, ETIQUETA, 'etiqueta')
        igual((atributos['service'], atributos['account']), (SERVICIO, 'clave-maestra'), 'atributos')
        igual(datos, CLAVE, 'bytes')
        # A second store replaces it: still one item, with the new bytes.
        guardar(s, vk, OTRA)
        encontrados = s.items(service=SERVICIO, account='clave-maestra')
        igual([e[3] for e in encontrados], [OTRA], 'reemplazado')
        secreto = b'\x00\xffsecreto largo ' * 40
        r = s.vkcofre(vk, 'guardar-secreto', entrada=(b64(secreto) + '\r\n').encode())
        igual(r.codigo, 0, f'guardar-secreto {r}')
        igual([(e[1], e[3]) for e in s.items(service=SERVICIO, account='secreto')],
              [('Veskora · clave de recuperación', secreto)], 'secreto')
        igual(s.preguntas_polkit(), [], 'guardar no pregunta')


def leer_segun_polkit(vk, **_):
    with abrir() as s:
        s.iniciar_polkit('autorizar')
        # Nothing stored: status 2 and nobody is asked.
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta['error']), (2, 'no hay clave guardada en el llavero'), 'nada guardado')
        igual(s.preguntas_polkit(), [], 'sin nada guardado no se pregunta')

        guardar(s, vk)
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta), (0, {'ok': True, 'clave': b64(CLAVE)}), 'autorizado')
        preguntas = s.preguntas_polkit()
        igual(len(preguntas), 1, 'una pregunta')
        accion, detalles, _, sujeto = preguntas[0]
        igual(accion, ACCION, 'acción')
        cierto(sujeto, 'el sujeto es la conexión de este proceso al bus')
        # The authority takes details from root or the action's owner only: none are sent.
        igual(detalles, {}, 'sin detalles')

        for respuesta in ('descartar', 'negar'):
            s.respuesta_polkit(respuesta)
            r = s.vkcofre(vk, 'leer')
            igual((r.codigo, r.respuesta), (3, {'ok': False, 'error': 'Desbloqueo cancelado o fallido'}), respuesta)
        igual(s.items(service=SERVICIO, account='clave-maestra')[0][3], CLAVE, 'leer no cambia nada')

        # No agent to ask: neither the key nor "cancelled".
        s.respuesta_polkit('sin-agente')
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta['error']), (1, 'no se pudo leer del llavero (OSStatus -25308)'), 'sin agente')

        # An authority that refuses details from us is asked once, and answers.
        s.respuesta_polkit('detalles-prohibidos')
        antes = len(s.llamadas_polkit())
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta.get('clave')), (0, b64(CLAVE)), 'sin detalles')
        igual(len(s.llamadas_polkit()), antes + 1, 'una sola pregunta')

        s.respuesta_polkit('autorizar')
        r = s.vkcofre(vk, 'leer-secreto')
        igual(r.codigo, 2, 'secreto no guardado')
        s.vkcofre(vk, 'guardar-secreto', entrada=b'AQ==\n')
        r = s.vkcofre(vk, 'leer-secreto')
        igual(r.respuesta, {'ok': True, 'clave': 'AQ=='}, 'secreto de un byte')

        # A key another client stored says nothing of how it may be read: the owner is asked all the same.
        s.vkcofre(vk, 'borrar')
        ajena = b'0123456789abcdef0123456789abcdef'
        igual(s.secret_tool('store', '--label=ajena', 'service', SERVICIO, 'account', 'clave-maestra',
                            entrada=ajena).returncode, 0, 'secret-tool store')
        antes = len(s.preguntas_polkit())
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta.get('clave')), (0, b64(ajena)), 'clave de otro cliente')
        igual(len(s.preguntas_polkit()), antes + 1, 'la clave de otro cliente también pregunta')
        s.respuesta_polkit('negar')
        igual(s.vkcofre(vk, 'leer').codigo, 3, 'clave de otro cliente negada')


def bloqueado_y_cancelado(vk, **_):
    with abrir() as s:
        s.iniciar_polkit('autorizar')
        guardar(s, vk)
        s.bloquear_login()
        # Present but locked: estado still sees it and asks nothing; the probe cannot store.
        r = s.vkcofre(vk, 'estado')
        igual((r.respuesta['guardada'], r.respuesta['llavero'], r.respuesta['motivoLlavero']),
              (True, False, 'OSStatus -25308'), 'estado con el llavero bloqueado')
        igual(s.preguntas_polkit(), [], 'estado no pregunta')
        # The unlock prompt is dismissed: cancelled, never "nothing stored".
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta['error']), (3, 'Desbloqueo cancelado o fallido'), 'desbloqueo cancelado')
        # Storing and deleting never prompt: they say the keyring would have to, and the item stays.
        r = s.vkcofre(vk, 'borrar')
        igual((r.codigo, r.respuesta['error']), (1, 'no se pudo borrar del llavero (OSStatus -25308)'), 'borrar')
        r = s.vkcofre(vk, 'guardar', entrada=(b64(OTRA) + '\n').encode())
        igual((r.codigo, r.respuesta['error']), (1, 'no se pudo guardar en el llavero (OSStatus -25308)'), 'guardar')
        igual(len(s.items(service=SERVICIO)), 1, 'el item sigue')


def borrar_dos_veces(vk, **_):
    with abrir() as s:
        s.iniciar_polkit()
        guardar(s, vk)
        s.vkcofre(vk, 'guardar-secreto', entrada=b'c2VjcmV0bw==\n')
        for vez in (1, 2):
            r = s.vkcofre(vk, 'borrar')
            igual((r.codigo, r.respuesta), (0, {'ok': True}), f'borrar {vez}')
        for cuenta in ('clave-maestra', 'secreto'):
            r = s.secret_tool('search', '--all', 'service', SERVICIO, 'account', cuenta)
            igual(r.stdout, b'', f'secret-tool no encuentra {cuenta}')
        igual(s.items(service=SERVICIO), [], 'nada queda')
        r = s.vkcofre(vk, 'estado')
        igual((r.respuesta['guardada'], r.respuesta['secreto']), (False, False), 'estado tras borrar')


def otro_llavero_por_defecto(vk, **_):
    # The owner makes another keyring the default: the key stays where it was, and is still the
    # vault's key, not "nothing stored".
    with abrir() as s:
        s.iniciar_polkit()
        guardar(s, vk)
        s.coleccion_por_defecto(SESION)
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta), (0, {'ok': True, 'clave': b64(CLAVE)}), 'leer del llavero de antes')
        igual(s.vkcofre(vk, 'estado').respuesta['guardada'], True, 'estado')
        # A new key goes to the new default and leaves no old one behind.
        guardar(s, vk, OTRA)
        items = s.items(service=SERVICIO)
        igual([(ruta.startswith(SESION + '/'), datos) for ruta, _, _, datos in items], [(True, OTRA)], 'guardar')
        r = s.vkcofre(vk, 'leer')
        igual(r.respuesta, {'ok': True, 'clave': b64(OTRA)}, 'leer la nueva')
        # Deleting reaches every keyring.
        s.coleccion_por_defecto(LOGIN)
        igual(s.vkcofre(vk, 'borrar').respuesta, {'ok': True}, 'borrar')
        igual(s.items(service=SERVICIO), [], 'nada queda')
        # The old key in a keyring now locked: a new one is still stored in the default and read
        # first, and deleting says it could not reach the old one.
        guardar(s, vk)
        s.bloquear_login()
        s.coleccion_por_defecto(SESION)
        guardar(s, vk, OTRA)
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta), (0, {'ok': True, 'clave': b64(OTRA)}), 'leer la del llavero abierto')
        # Storing again, with the old copy still locked: only the second value stays in the default
        # collection, and that is what is read, never the locked copy.
        guardar(s, vk, CLAVE)
        igual([(ruta.startswith(SESION + '/'), datos) for ruta, _, _, datos in s.items(service=SERVICIO)
               if ruta.startswith(SESION + '/')], [(True, CLAVE)], 'segundo guardar')
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta), (0, {'ok': True, 'clave': b64(CLAVE)}), 'leer el segundo')
        # Deleting takes what it can reach and says what it could not.
        r = s.vkcofre(vk, 'borrar')
        igual((r.codigo, r.respuesta['error']), (1, 'no se pudo borrar del llavero (OSStatus -25308)'), 'borrar')
        igual([datos for _, _, _, datos in s.items(service=SERVICIO)], [None], 'solo queda la copia bloqueada')


def estado_concurrente(vk, **_):
    with abrir() as s:
        s.iniciar_polkit()
        with concurrent.futures.ThreadPoolExecutor(max_workers=20) as grupo:
            resultados = list(grupo.map(lambda _: s.vkcofre(vk, 'estado'), range(20)))
        for r in resultados:
            igual((r.codigo, r.respuesta['llavero'], r.respuesta['motivoLlavero']), (0, True, None),
                  f'estado concurrente {r}')
        igual(s.items(service=SERVICIO), [], 'ninguna sonda queda')


def guardar_concurrente(vk, **_):
    with abrir() as s:
        s.iniciar_polkit()
        claves = [bytes([i]) * 32 for i in range(10)]
        with concurrent.futures.ThreadPoolExecutor(max_workers=10) as grupo:
            resultados = list(grupo.map(
                lambda c: s.vkcofre(vk, 'guardar', entrada=(b64(c) + '\n').encode()), claves))
        aceptadas = set()
        for clave, r in zip(claves, resultados):
            if r.codigo == 0:
                aceptadas.add(clave)
            else:
                igual(r.respuesta['error'], 'no se pudo guardar en el llavero (OSStatus -25299)', f'carrera {r}')
        # Racing stores never leave two items behind, and what stays is a store that said ok.
        encontrados = s.items(service=SERVICIO, account='clave-maestra')
        igual(len(encontrados), 1, 'un solo item tras la carrera')
        cierto(encontrados[0][3] in aceptadas, 'el item que queda es de un guardar aceptado')


def carreras(vk, **_):
    # guardar, leer, borrar and estado all at once, several rounds: every reply is one the
    # application knows what to do with.
    with abrir() as s:
        s.iniciar_polkit('autorizar')
        claves = [bytes([i]) * 32 for i in range(10)]
        guardadas = set()
        for ronda in range(3):
            trabajos = ([('guardar', c) for c in claves] + [('leer', None)] * 10 + [('borrar', None)] * 10 +
                        [('estado', None)] * 10)
            with concurrent.futures.ThreadPoolExecutor(max_workers=len(trabajos)) as grupo:
                resultados = list(grupo.map(
                    lambda t: (t, s.vkcofre(vk, t[0], entrada=(b64(t[1]) + '\n').encode() if t[1] else b'')),
                    trabajos))
            for (orden, clave), r in resultados:
                que = f'ronda {ronda} {orden} {r}'
                igual((r.lineas, r.errores), (1, b''), que)
                if orden == 'guardar':
                    if r.codigo == 0:
                        guardadas.add(b64(clave))
                    else:
                        igual((r.codigo, r.respuesta['error']),
                              (1, 'no se pudo guardar en el llavero (OSStatus -25299)'), que)
                elif orden == 'leer':
                    if r.codigo == 0:
                        cierto(r.respuesta['clave'] in {b64(c) for c in claves}, que)
                    else:
                        igual((r.codigo, r.respuesta['error']), (2, 'no hay clave guardada en el llavero'), que)
                elif orden == 'borrar':
                    igual((r.codigo, r.respuesta), (0, {'ok': True}), que)
                else:
                    igual((r.codigo, r.respuesta['llavero'], r.respuesta['motivoLlavero']), (0, True, None), que)
            items = s.items(service=SERVICIO)
            igual([a['account'] for _, _, a, _ in items if a['account'].startswith('sonda-')], [],
                  f'ronda {ronda}: ninguna sonda queda')
            cierto(len(items) <= 1, f'ronda {ronda}: a lo sumo una clave queda')
        cierto(guardadas, 'algún guardar ganó')


def sin_secret_service(vk, **_):
    with abrir(llavero=False) as s:
        s.iniciar_polkit()
        r = s.vkcofre(vk, 'estado')
        igual(r.codigo, 0, 'estado')
        igual((r.respuesta['llavero'], r.respuesta['motivoLlavero']), (False, 'OSStatus -25291'), 'sin servicio')
        igual((r.respuesta['guardada'], r.respuesta['secreto']), (True, True), 'todo error cuenta como presente')
        r = s.vkcofre(vk, 'guardar', entrada=(b64(CLAVE) + '\n').encode())
        igual((r.codigo, r.respuesta['error']), (1, 'no se pudo guardar en el llavero (OSStatus -25291)'), 'guardar')
        # Not even a session bus: the same answer, and nothing else is tried.
        entorno = dict(s.entorno_vkcofre(), DBUS_SESSION_BUS_ADDRESS='unix:path=/nonexistent/bus')
        r = s.vkcofre(vk, 'guardar', entrada=(b64(CLAVE) + '\n').encode(), entorno=entorno)
        igual(r.respuesta['error'], 'no se pudo guardar en el llavero (OSStatus -25291)', 'sin bus de sesión')


def sin_polkit(vk, **_):
    with abrir() as s:
        # The authority is not there: biometria false with the reason GLib gives, and reading
        # fails without handing anything out.
        r = s.vkcofre(vk, 'estado')
        igual((r.respuesta['biometria'], r.respuesta['llavero']), (False, True), 'estado sin polkit')
        cierto(isinstance(r.respuesta['motivo'], str) and r.respuesta['motivo'], 'motivo de polkit')
        guardar(s, vk)
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta['error']), (1, 'no se pudo leer del llavero (OSStatus -25291)'), 'leer')
        s.iniciar_polkit('no-puede')
        r = s.vkcofre(vk, 'estado')
        igual(r.respuesta['biometria'], False, 'polkit no deja autenticar')
        igual(r.respuesta['motivo'], 'polkit no deja que el usuario se autentique para ' + ACCION, 'motivo')


def llamador_release(vk, lanzador, copia, **_):
    with abrir() as s:
        s.iniciar_polkit('autorizar')
        guardar(s, vk)  # storing needs no caller check
        # From a shell (here: the test itself): refused, before any prompt.
        r = s.vkcofre(vk, 'leer')
        igual((r.codigo, r.respuesta), (1, {'ok': False, 'error': 'solo la app puede pedir la clave'}), 'desde shell')
        r = s.vkcofre(vk, 'leer', entorno=dict(s.entorno_vkcofre(), DBUS_SESSION_BUS_ADDRESS='unix:path=/x'))
        igual(r.respuesta['error'], 'solo la app puede pedir la clave', 'el llavero no se toca')
        igual(s.llamadas_polkit(), [], 'nada preguntado')
        # Started by an accepted executable: goes on to the prompt and the key.
        r = s.vkcofre(vk, 'leer', antes=[lanzador])
        igual((r.codigo, r.respuesta), (0, {'ok': True, 'clave': b64(CLAVE)}), 'desde la app')
        # The app, but through an intermediate shell: refused.
        r = s.vkcofre(vk, 'leer', antes=[lanzador, '/bin/sh', '-c', '"$0" "$@"; exit $?'])
        igual(r.respuesta['error'], 'solo la app puede pedir la clave', 'a través de un shell')
        # The second accepted path, with a file that others could have changed: refused.
        shutil.copy(lanzador, copia)
        try:
            os.chmod(copia, 0o775)
            r = s.vkcofre(vk, 'leer', antes=[copia])
            igual(r.respuesta['error'], 'solo la app puede pedir la clave', 'escribible por el grupo')
            os.chmod(copia, 0o755)
            os.chown(copia, 65534, 0)
            r = s.vkcofre(vk, 'leer', antes=[copia])
            igual(r.respuesta['error'], 'solo la app puede pedir la clave', 'no es de root')
            os.chown(copia, 0, 0)
            os.chmod(copia, 0o755)
            r = s.vkcofre(vk, 'leer', antes=[copia])
            igual(r.codigo, 0, 'segunda app aceptada')
        finally:
            os.unlink(copia)
        # The other commands work from a shell as before.
        igual(s.vkcofre(vk, 'estado').respuesta['guardada'], True, 'estado desde shell')
        igual(s.vkcofre(vk, 'borrar').codigo, 0, 'borrar desde shell')
        cierto(stat.S_ISREG(os.stat(lanzador).st_mode), 'el lanzador sigue')


if __name__ == '__main__':
    correr({f.__name__: f for f in (estado_vacio, guardar_y_secret_tool, leer_segun_polkit, bloqueado_y_cancelado,
                                    borrar_dos_veces, otro_llavero_por_defecto, estado_concurrente,
                                    guardar_concurrente, carreras, sin_secret_service, sin_polkit, llamador_release)})
