#!/bin/sh
# A start-up hook for the nginx image: the image's entry point runs it before
# it starts nginx, and stops the start when it fails. It renders the server's
# configuration from its template:
#   -s  references are read as the shell reads them ("listen $PORT;" names
#       PORT), with ${NAME:-default} for defaults;
#   -u  a listed variable that is not set fails the render, instead of
#       leaving a hole in the configuration;
#   -o  the file is replaced only by a whole render: a failed one leaves the
#       last good file.
# Only the listed names are replaced, so nginx's own $host passes through.
fillvars -s -u -o /etc/nginx/conf.d/default.conf '$PORT,$SERVER_NAME,$APP_PORT' \
    < /etc/fillvars/default.conf.template
