# nginx as a static file server over TLS 1.3 on loopback: one worker, no
# access log, temporary files in its own folder. Sourced by the benchmarks.

# Writes DIR/nginx.conf serving ROOT on 127.0.0.1:PORT with CERT and KEY.
nginx_write_conf() {  # dir, port, cert, key, root
  mkdir -p "$1"
  cat >"$1/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $1/nginx.pid;
error_log $1/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $1/body;
  proxy_temp_path $1/proxy;
  fastcgi_temp_path $1/fastcgi;
  uwsgi_temp_path $1/uwsgi;
  scgi_temp_path $1/scgi;
  server {
    listen 127.0.0.1:$2 ssl;
    ssl_certificate $3;
    ssl_certificate_key $4;
    ssl_protocols TLSv1.3;
    root $5;
  }
}
CONF
}
