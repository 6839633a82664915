"""The local web page: play the engine and watch its analysis in a browser.

    flipcore serve [--host 127.0.0.1] [--port 8000] [--open] [--allow-host NAME]

flipcore.web.app.create_app() builds the ASGI app (Starlette; install the
extra: pip install 'flipcore[web]'); flipcore.web.worker is the engine
process it runs searches in, flipcore.web.games the pages' games,
flipcore.web.guard who may send requests and flipcore.web.connections the
limits on the server's connections.

The engine is flipcore.think by default (values in discs, X's view), or the
depth-limited search when a request says "engine": "minimax" (values in its
own units); the engine's move, the analysis and the review all use the one
the page chose.
"""
