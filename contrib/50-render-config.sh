#!/bin/sh
# A start-up hook for the nginx image: the image's entry point runs it before
# it starts nginx, and stops the start when it fails. It renders every
# template under /etc/nginx/templates into /etc/nginx/conf.d, subfolders
# included, each *.template written without its suffix:
#   -s  references are read as the shell reads them ("listen $NGINX_PORT;"
#       names NGINX_PORT), with ${NAME:-default} for defaults;
#   -p  only the names that begin with NGINX_ are replaced, so nginx's own
#       $host passes through;
#   -u  such a variable that is not set fails the render, instead of
#       leaving a hole in the configuration;
#   -o  the outputs are replaced only once every template has rendered
#       whole: a failed render leaves the last good configuration, all of it.
fillvars -s -u -p NGINX_ -i /etc/nginx/templates --suffix=.template -o /etc/nginx/conf.d
