# The desktop beyond the tray: single instance, desktop notifications, the backup-age warning and the
# restore summary.
